# cmake -DFILES=a|b -DLAYER=name -P check_layer_includes.cmake
# Fails when one of FILES includes a header its layer must not see.
string(REPLACE "|" ";" FILES "${FILES}")
set(forbidden
  "<Q[A-Za-z]"                   # the GUI toolkit
  "<termios\\.h>" "<asm/" "<sys/" "<unistd\\.h>" "<fcntl\\.h>" "<linux/" "<pcap"
  "\"platform/(dialog|win_app|message_box|busy|command_line|resources|icon_image|posix_serial|line_speed)\\.h\""
  "\"ui/")
set(found "")
foreach(file ${FILES})
  file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include")
  foreach(line ${includes})
    foreach(pattern ${forbidden})
      if(line MATCHES "${pattern}")
        string(APPEND found "\n  ${file}: ${line}")
      endif()
    endforeach()
  endforeach()
endforeach()
if(found)
  message(FATAL_ERROR "${LAYER} must reach the operating system only through "
                      "platform/services.h and platform/serial_device.h:${found}")
endif()
