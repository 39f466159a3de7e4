# cmake -DFILES=a|b -DLAYER=name -P check_layer_includes.cmake
# Fails when one of FILES includes a header its layer must not see. The rules
# go by folder, so a header added to a folder is covered without a list of
# names to keep up to date:
#   platform      the operating system only: no GUI toolkit, nothing of the
#                 folders built on it
#   serial, hart  no toolkit and no system headers; the operating system only
#                 through platform's seam headers, nothing of platform_qt/
#                 or ui/
cmake_policy(SET CMP0057 NEW)  # if(IN_LIST) in script mode
string(REPLACE "|" ";" FILES "${FILES}")
set(seam services.h serial_device.h errors.h net_socket.h secure_channel.h psk_file.h)
if(LAYER STREQUAL "platform")
  set(forbidden "<Q[A-Za-z]" "\"(platform_qt|serial|hart|ui|sim)/")
  set(advice "platform must see neither the GUI toolkit nor the folders built on it")
else()
  set(forbidden "<Q[A-Za-z]" "<termios\\.h>" "<asm/" "<sys/" "<unistd\\.h>" "<fcntl\\.h>"
                "<linux/" "<pcap" "\"(platform_qt|ui)/")
  string(REPLACE ";" ", platform/" names "${seam}")
  set(advice "${LAYER} must reach the operating system only through platform/${names}")
endif()
set(found "")
foreach(file ${FILES})
  file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include")
  foreach(line ${includes})
    set(refused FALSE)
    foreach(pattern ${forbidden})
      if(line MATCHES "${pattern}")
        set(refused TRUE)
      endif()
    endforeach()
    if(NOT LAYER STREQUAL "platform" AND line MATCHES "\"platform/([^\"]+)\"")
      if(NOT CMAKE_MATCH_1 IN_LIST seam)
        set(refused TRUE)
      endif()
    endif()
    if(refused)
      string(APPEND found "\n  ${file}: ${line}")
    endif()
  endforeach()
endforeach()
if(found)
  message(FATAL_ERROR "${advice}:${found}")
endif()
