# Finds libmicrohttpd and makes the imported target Microhttpd::Microhttpd.
# Linux: the system's, through pkg-config (libmicrohttpd-dev). Windows (cross builds): the one
# scripts/windows-libmicrohttpd builds, looked for in HEARTH_MHD_MINGW (CMake or environment
# variable), then in its cache; its DLL folder is added to what hearth_windows_deploy searches.
include(FindPackageHandleStandardArgs)

if(WIN32)
    set(_hints ${HEARTH_MHD_MINGW} $ENV{HEARTH_MHD_MINGW})
    if(DEFINED ENV{XDG_CACHE_HOME})
        list(APPEND _hints $ENV{XDG_CACHE_HOME}/vela-hearth/libmicrohttpd-mingw)
    endif()
    list(APPEND _hints $ENV{HOME}/.cache/vela-hearth/libmicrohttpd-mingw)
    # The mingw toolchain confines searches to its own root; these folders lie outside it.
    find_path(Microhttpd_INCLUDE_DIR microhttpd.h HINTS ${_hints} PATH_SUFFIXES include
        NO_CMAKE_FIND_ROOT_PATH)
    find_library(Microhttpd_LIBRARY NAMES libmicrohttpd.dll.a microhttpd HINTS ${_hints}
        PATH_SUFFIXES lib NO_CMAKE_FIND_ROOT_PATH)
    find_package_handle_standard_args(Microhttpd
        REQUIRED_VARS Microhttpd_LIBRARY Microhttpd_INCLUDE_DIR
        REASON_FAILURE_MESSAGE "run scripts/windows-libmicrohttpd, or set HEARTH_MHD_MINGW")
    if(Microhttpd_FOUND AND NOT TARGET Microhttpd::Microhttpd)
        add_library(Microhttpd::Microhttpd UNKNOWN IMPORTED)
        set_target_properties(Microhttpd::Microhttpd PROPERTIES
            IMPORTED_LOCATION ${Microhttpd_LIBRARY}
            INTERFACE_INCLUDE_DIRECTORIES ${Microhttpd_INCLUDE_DIR}
            INTERFACE_LINK_LIBRARIES ws2_32)
        get_filename_component(_prefix ${Microhttpd_INCLUDE_DIR} DIRECTORY)
        set_property(GLOBAL APPEND PROPERTY HEARTH_DLL_DIRS ${_prefix}/bin)
    endif()
else()
    find_package(PkgConfig QUIET)
    if(PkgConfig_FOUND)
        pkg_check_modules(Microhttpd_PC QUIET IMPORTED_TARGET libmicrohttpd)
    endif()
    find_package_handle_standard_args(Microhttpd REQUIRED_VARS Microhttpd_PC_LINK_LIBRARIES
        VERSION_VAR Microhttpd_PC_VERSION)
    if(Microhttpd_FOUND AND NOT TARGET Microhttpd::Microhttpd)
        add_library(Microhttpd::Microhttpd INTERFACE IMPORTED)
        target_link_libraries(Microhttpd::Microhttpd INTERFACE PkgConfig::Microhttpd_PC)
    endif()
endif()
