# Finds FFmpeg's libavformat, libavcodec, libswscale and libavutil and makes the imported
# target FFmpeg::FFmpeg. Linux: the system's, through pkg-config (libav*-dev). Windows (cross
# builds): Debian's FFmpeg cross-built for mingw-w64, looked for in HEARTH_FFMPEG_MINGW (CMake or
# environment variable), then in ../shared/ffmpeg-mingw beside the clone (for a linked worktree,
# beside the main one too); its DLL folder is added to what hearth_windows_deploy searches, and
# its ffmpeg.exe (the converter hearth runs) is the global property HEARTH_FFMPEG_PROGRAM.
include(FindPackageHandleStandardArgs)
set(_ffmpeg_libraries avformat avcodec swscale avutil)

if(WIN32)
    set(_hints ${HEARTH_FFMPEG_MINGW} $ENV{HEARTH_FFMPEG_MINGW}
        ${PROJECT_SOURCE_DIR}/../shared/ffmpeg-mingw)
    execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} rev-parse --path-format=absolute
            --git-common-dir
        OUTPUT_VARIABLE _common OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(_common)
        get_filename_component(_clone ${_common} DIRECTORY)
        list(APPEND _hints ${_clone}/../shared/ffmpeg-mingw)
    endif()
    # The mingw toolchain confines searches to its own root; these folders lie outside it.
    find_path(FFmpeg_INCLUDE_DIR libavformat/avformat.h HINTS ${_hints} PATH_SUFFIXES include
        NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
    set(_required FFmpeg_INCLUDE_DIR)
    foreach(_name IN LISTS _ffmpeg_libraries)
        find_library(FFmpeg_${_name}_LIBRARY NAMES lib${_name}.dll.a HINTS ${_hints}
            PATH_SUFFIXES lib NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
        list(APPEND _required FFmpeg_${_name}_LIBRARY)
    endforeach()
    find_package_handle_standard_args(FFmpeg REQUIRED_VARS ${_required}
        REASON_FAILURE_MESSAGE "set HEARTH_FFMPEG_MINGW to FFmpeg cross-built for Windows")
    if(FFmpeg_FOUND AND NOT TARGET FFmpeg::FFmpeg)
        add_library(FFmpeg::FFmpeg INTERFACE IMPORTED)
        foreach(_name IN LISTS _ffmpeg_libraries)
            target_link_libraries(FFmpeg::FFmpeg INTERFACE ${FFmpeg_${_name}_LIBRARY})
        endforeach()
        target_include_directories(FFmpeg::FFmpeg INTERFACE ${FFmpeg_INCLUDE_DIR})
        get_filename_component(_prefix ${FFmpeg_INCLUDE_DIR} DIRECTORY)
        set_property(GLOBAL APPEND PROPERTY HEARTH_DLL_DIRS ${_prefix}/bin)
        set(FFmpeg_BIN_DIR ${_prefix}/bin)
        if(EXISTS ${_prefix}/bin/ffmpeg.exe)
            set_property(GLOBAL PROPERTY HEARTH_FFMPEG_PROGRAM ${_prefix}/bin/ffmpeg.exe)
        endif()
    endif()
else()
    find_package(PkgConfig QUIET)
    if(PkgConfig_FOUND)
        pkg_check_modules(FFmpeg_PC QUIET IMPORTED_TARGET
            libavformat libavcodec libswscale libavutil)
    endif()
    find_package_handle_standard_args(FFmpeg REQUIRED_VARS FFmpeg_PC_LINK_LIBRARIES)
    if(FFmpeg_FOUND AND NOT TARGET FFmpeg::FFmpeg)
        add_library(FFmpeg::FFmpeg INTERFACE IMPORTED)
        target_link_libraries(FFmpeg::FFmpeg INTERFACE PkgConfig::FFmpeg_PC)
    endif()
endif()
