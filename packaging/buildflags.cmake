# The package is built as Debian builds its own: with the flags
# dpkg-buildflags gives, every hardening feature on (fortified libc calls,
# a strong stack protector, read-only relocations bound at start-up, a
# position-independent executable). Included before any target is defined,
# so every program of the tree gets them.
option(VELTROP_DEB_BUILDFLAGS "Compile and link with the flags of dpkg-buildflags (hardening=+all)" OFF)
if(NOT VELTROP_DEB_BUILDFLAGS)
  return()
endif()

find_program(DPKG_BUILDFLAGS dpkg-buildflags)
if(NOT DPKG_BUILDFLAGS)
  message(FATAL_ERROR "VELTROP_DEB_BUILDFLAGS needs dpkg-buildflags (package dpkg-dev; "
                      "tools/install-deps package installs it)")
endif()

# -ffile-prefix-map in CXXFLAGS maps the current directory to ".", so the
# source tree's path stays out of the programs' debug information.
foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
            ${DPKG_BUILDFLAGS} --get ${kind}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    OUTPUT_VARIABLE flags
    OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-buildflags --get ${kind} failed: ${status}")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  set(deb_${kind} ${flags})
endforeach()
# Debian 12's dpkg-buildflags stops there; later ones add stack clash
# protection and control-flow protection (Intel CET) on amd64. Taken from
# the compiler when it has them. (A program is marked CET-ready only if the
# C library's start files are too, which Debian 12's are not.)
include(CheckCXXCompilerFlag)
foreach(flag -fstack-clash-protection -fcf-protection)
  string(MAKE_C_IDENTIFIER "have${flag}" have)
  check_cxx_compiler_flag(${flag} ${have})
  if(${have} AND NOT flag IN_LIST deb_CXXFLAGS)
    list(APPEND deb_CXXFLAGS ${flag})
  endif()
endforeach()
message(STATUS "dpkg-buildflags: ${deb_CPPFLAGS} ${deb_CXXFLAGS} | ${deb_LDFLAGS}")
add_compile_options(${deb_CPPFLAGS} ${deb_CXXFLAGS})
add_link_options(${deb_LDFLAGS})
# PIE is the compiler's default on Debian; said outright, so a toolchain
# without that default still gives a position-independent executable.
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
include(CheckPIESupported)
check_pie_supported()
