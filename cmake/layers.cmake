# The layers below the dialogs (serial/, hart/) reach the operating system
# only through the platform library's services: never the GUI toolkit, never
# termios or other POSIX headers, never the dialog framework. Qt's headers are
# not even on their include path; the rest is checked here, before their
# sources compile, so a stray include fails the build.
function(veltrop_check_layer target)
  get_target_property(sources ${target} SOURCES)
  set(files)
  foreach(s ${sources})
    list(APPEND files ${CMAKE_CURRENT_SOURCE_DIR}/${s})
    # Each source's own header, where it has one.
    string(REGEX REPLACE "\\.cpp$" ".h" header ${CMAKE_CURRENT_SOURCE_DIR}/${s})
    if(EXISTS ${header})
      list(APPEND files ${header})
    endif()
  endforeach()
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${target}_layer.stamp)
  # One argument on the command line: the paths joined with '|'.
  string(REPLACE ";" "|" joined "${files}")
  add_custom_command(
    OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -DFILES=${joined} -DLAYER=${target}
            -P ${PROJECT_SOURCE_DIR}/cmake/check_layer_includes.cmake
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    DEPENDS ${files} ${PROJECT_SOURCE_DIR}/cmake/check_layer_includes.cmake
    COMMENT "Checking that ${target} includes nothing above or beside its layer"
    VERBATIM)
  add_custom_target(${target}_layer_check DEPENDS ${stamp})
  add_dependencies(${target} ${target}_layer_check)
endfunction()
