# The Debian package: `cpack` in a configured and built tree (see
# docs/INSTALL.md), or `cmake --workflow --preset package`.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME veltrop)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Korvani, Ltd")
set(CPACK_PACKAGE_CONTACT "Veltrop developers <dev@korvani.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "check HART communication through a HART modem")
set(CPACK_PACKAGE_DESCRIPTION
    "Veltrop is the primary HART master on a HART modem's serial port, which it\n\
opens as /dev/com8. Poll asks the field device at polling address 0 for its\n\
identity and tag and shows its unique identifier, tag and polling address\n\
with a pass or fail verdict; when nothing answers at address 0 it offers a\n\
multi-drop scan of polling addresses 1 to 14.\n\
.\n\
The package also holds hartsim, which serves simulated HART field devices\n\
(revisions 1 to 7, multi-drop loops, busy and slow devices, line faults) on\n\
a pseudo-terminal, so Veltrop can be tried without a modem or a loop.")
# Debug information stays in the build tree; the installed programs are
# stripped.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Veltrop developers <dev@korvani.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends from the libraries the programs link (dpkg-shlibdeps, dpkg-dev),
# and the one thing they cannot see: the font the dialogs are laid out and
# measured in (DejaVu Sans). Without it Qt takes whatever font fontconfig
# offers, in which no text was ever checked to fit its box.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS fonts-dejavu-core)
# tshark decodes the frame traces --trace writes (tshark -r FILE -V).
set(CPACK_DEBIAN_PACKAGE_SUGGESTS tshark)
# veltrop_1.2.0_amd64.deb
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Directories the base system owns keep their usual modes.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

include(CPack)
