# Run by cpack before it makes the package: the Debian changelog and the AppStream data name
# the release by hand, and a package must not describe another release than it holds.
set(linux "${CPACK_HEARTH_SOURCE_DIR}/resources/linux")
set(version "${CPACK_PACKAGE_VERSION}")
string(REPLACE "." "\\." versionPattern "${version}")

file(STRINGS "${linux}/debian/changelog" changelogTop LIMIT_COUNT 1)
if(NOT changelogTop MATCHES "^vela-hearth \\(${versionPattern}\\) ")
    message(FATAL_ERROR "resources/linux/debian/changelog does not start with an entry for "
        "${version}: add one")
endif()

file(READ "${linux}/org.velahearth.hearth.metainfo.xml" metainfo)
if(NOT metainfo MATCHES "<release version=\"${versionPattern}\"")
    message(FATAL_ERROR "resources/linux/org.velahearth.hearth.metainfo.xml names no release "
        "${version}: add one")
endif()
