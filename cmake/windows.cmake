# Windows builds (cross-compiled with mingw-w64): what the programs load, placed beside them,
# and the tests run under Wine.
find_program(HEARTH_OBJDUMP NAMES ${CMAKE_CXX_COMPILER_TARGET}-objdump x86_64-w64-mingw32-objdump
    objdump REQUIRED)

# Where the mingw runtime DLLs (libstdc++-6, libgcc_s_seh-1, libwinpthread-1) lie: where the
# compiler finds them.
get_filename_component(HEARTH_QT_PREFIX "${Qt6_DIR}/../../.." ABSOLUTE)
set(HEARTH_DLL_SEARCH "${HEARTH_QT_PREFIX}/bin")
foreach(dll libstdc++-6.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
        OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(IS_ABSOLUTE "${found}")
        get_filename_component(dir "${found}" DIRECTORY)
        list(APPEND HEARTH_DLL_SEARCH "${dir}")
    endif()
endforeach()

# The image formats pictures are read in besides the built-in PNG (JPEG is the default filter,
# GIF as the Linux build reads it); the platforms for a desktop and for a run without one.
set(HEARTH_QT_PLUGINS imageformats/qjpeg imageformats/qgif platforms/qwindows
    platforms/qoffscreen styles/qwindowsvistastyle)

# Places beside the files in destination what programs (generator expressions allowed) load;
# COPIES: programs made elsewhere, copied there too with what they load.
function(hearth_windows_deploy target destination)
    cmake_parse_arguments(D "" "" "PROGRAMS;PLUGINS;COPIES" ${ARGN})
    # Lists travel joined with '|': a ';' would split the command's arguments.
    string(JOIN "|" programs ${D_PROGRAMS})
    string(JOIN "|" plugins ${D_PLUGINS})
    string(JOIN "|" copies ${D_COPIES})
    # Libraries found later (cmake/FindMicrohttpd.cmake) add their DLL folders here.
    get_property(extra GLOBAL PROPERTY HEARTH_DLL_DIRS)
    string(JOIN "|" search ${HEARTH_DLL_SEARCH} ${extra})
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${HEARTH_OBJDUMP} -DDESTINATION=${destination}
            -DPROGRAMS=${programs} -DSEARCH=${search}
            -DPLUGIN_ROOT=${HEARTH_QT_PREFIX}/plugins -DPLUGINS=${plugins} -DCOPIES=${copies}
            -P ${PROJECT_SOURCE_DIR}/cmake/windows-deploy.cmake
        COMMENT "Placing the DLLs ${target} loads"
        VERBATIM)
endfunction()

# Tests run under Wine, finding their DLLs and plugins in one shared folder.
set(HEARTH_TEST_RUNTIME ${PROJECT_BINARY_DIR}/runtime)
if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/scripts/wine-run ${HEARTH_TEST_RUNTIME}
        --qtest)
endif()
