# Copies beside Windows programs exactly the DLLs they load: the programs' imports, read from
# the files themselves with objdump, followed through every DLL that is found in the search
# folders (Qt, the mingw runtime); anything not there is the system's. Plugins named are
# copied into their folders and followed the same way, and so are the programs named in COPIES
# (ones the build did not make, such as ffmpeg.exe), copied beside the others. Writes
# runtime.txt, the files placed.
#   cmake -DOBJDUMP=... -DDESTINATION=dir -DPROGRAMS='a.exe|b.exe' -DSEARCH='dir|dir'
#         -DPLUGIN_ROOT=qt/plugins -DPLUGINS='platforms/qwindows|...' -DCOPIES='c.exe'
#         -P windows-deploy.cmake
cmake_minimum_required(VERSION 3.25)

foreach(list PROGRAMS SEARCH PLUGINS COPIES)
    string(REPLACE "|" ";" ${list} "${${list}}")
endforeach()

set(queue ${PROGRAMS})
set(placed)
foreach(plugin IN LISTS PLUGINS)
    get_filename_component(subdir ${plugin} DIRECTORY)
    set(source ${PLUGIN_ROOT}/${plugin}.dll)
    if(NOT EXISTS ${source})
        message(FATAL_ERROR "No plugin ${source}")
    endif()
    file(MAKE_DIRECTORY ${DESTINATION}/${subdir})
    file(COPY_FILE ${source} ${DESTINATION}/${plugin}.dll ONLY_IF_DIFFERENT)
    list(APPEND placed ${plugin}.dll)
    list(APPEND queue ${source})
endforeach()

foreach(program IN LISTS COPIES)
    if(NOT EXISTS ${program})
        message(FATAL_ERROR "No program ${program}")
    endif()
    get_filename_component(name ${program} NAME)
    file(COPY_FILE ${program} ${DESTINATION}/${name} ONLY_IF_DIFFERENT)
    list(APPEND placed ${name})
    list(APPEND queue ${program})
endforeach()

set(seen)
while(queue)
    list(POP_FRONT queue file)
    execute_process(COMMAND ${OBJDUMP} -p ${file} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "${OBJDUMP} could not read ${file}")
    endif()
    string(REGEX MATCHALL "DLL Name: [^\r\n]+" names "${dump}")
    foreach(line IN LISTS names)
        string(REPLACE "DLL Name: " "" name "${line}")
        string(STRIP "${name}" name)
        string(TOLOWER "${name}" key)
        if(key IN_LIST seen)
            continue()
        endif()
        list(APPEND seen ${key})
        foreach(dir IN LISTS SEARCH)
            if(EXISTS ${dir}/${name})
                file(COPY_FILE ${dir}/${name} ${DESTINATION}/${name} ONLY_IF_DIFFERENT)
                list(APPEND placed ${name})
                list(APPEND queue ${dir}/${name})
                break()
            endif()
        endforeach()
    endforeach()
endwhile()

list(SORT placed)
list(JOIN placed "\n" text)
file(WRITE ${DESTINATION}/runtime.txt "${text}\n")
