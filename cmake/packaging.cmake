# The Debian package vela-hearth_<version>_<arch>.deb, made by `cpack -G DEB` (scripts/package
# runs it). Everything in it comes from the install() rules; the version from project().

set(CPACK_PACKAGE_NAME vela-hearth)
set(CPACK_PACKAGE_VENDOR "The Vela Hearth developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "media server for networked TV media players")
set(CPACK_PACKAGE_INSTALL_DIRECTORY vela-hearth)
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
# Directories the install rules create on the way; without this they take the umask of
# whoever builds the package.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(HEARTH_DEB_MAINTAINER
    "The Vela Hearth developers <maintainers@users.noreply.c-seed-9478b207.example>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_DEBIAN_PACKAGE_NAME vela-hearth)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${HEARTH_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies are read from the binaries; the platform and JPEG plugins that hearth loads at
# run time ship in libqt6gui6, which that already names.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Below the synopsis (CPACK_PACKAGE_DESCRIPTION_SUMMARY); an empty line parts paragraphs.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Vela Hearth serves three media libraries (video, audio and pictures) to TV
media players on the home network. Libraries are built from single files,
folders of your own making and live folders that are read afresh from the
disk whenever a player looks at them. Players find the computer by its
server name; pictures are scaled for the television and sent as JPEG.
Smart TVs, consoles and phones find it as a UPnP AV/DLNA media server
(SSDP on UDP port 1900, HTTP on TCP port 8200).

The package holds the program hearth with its menu entry, a systemd user
unit that runs it without a display, and hearth-purge, the small removal
program an installer hands files to, with its boot-time unit.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/resources/linux/debian/postinst
    ${PROJECT_SOURCE_DIR}/resources/linux/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_HEARTH_SOURCE_DIR "${PROJECT_SOURCE_DIR}")
set(CPACK_PRE_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/cmake/checkreleasenotes.cmake")

include(CPack)
