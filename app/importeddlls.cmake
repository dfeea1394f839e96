# Run at install time by tracker_install_imported_dlls(): copies into the installed bin
# folder every DLL that the installed programs import, directly or through another DLL,
# found in tracker_dll_dirs. A DLL found nowhere is Windows' own when the toolchain links
# to it through an import library (kernel32.dll: libkernel32.a); otherwise it is missing
# and installing stops, so no package is made that cannot start.
set(bin "${CMAKE_INSTALL_PREFIX}/${tracker_bin_dir}")
set(executables)
foreach(program IN LISTS tracker_programs)
    list(APPEND executables "${bin}/${program}")
endforeach()
set(search_dirs ${tracker_dll_dirs})
if(tracker_cross_objdump)
    # Built on another system: read the programs' imports with the toolchain's objdump.
    set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM windows+pe)
    set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL objdump)
    set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND "${tracker_cross_objdump}")
    # CMake looks a DLL up by its name in lower case, which a case-sensitive file system
    # does not find as Qt6Core.dll: every DLL of the folders is offered under that name.
    file(REMOVE_RECURSE "${tracker_lower_case_dir}")
    file(MAKE_DIRECTORY "${tracker_lower_case_dir}")
    foreach(dir IN LISTS tracker_dll_dirs)
        file(GLOB found LIST_DIRECTORIES false "${dir}/*.dll" "${dir}/*.DLL")
        foreach(dll IN LISTS found)
            get_filename_component(name "${dll}" NAME)
            string(TOLOWER "${name}" name)
            if(NOT EXISTS "${tracker_lower_case_dir}/${name}")
                file(CREATE_LINK "${dll}" "${tracker_lower_case_dir}/${name}" SYMBOLIC)
            endif()
        endforeach()
    endforeach()
    set(search_dirs "${tracker_lower_case_dir}")
endif()
file(GET_RUNTIME_DEPENDENCIES
    EXECUTABLES ${executables}
    DIRECTORIES ${search_dirs}
    # API sets and the Windows folder (system32 included) belong to Windows.
    PRE_EXCLUDE_REGEXES "^api-ms-" "^ext-ms-"
    POST_EXCLUDE_REGEXES "^[A-Za-z]:/[Ww][Ii][Nn][Dd][Oo][Ww][Ss]/"
    RESOLVED_DEPENDENCIES_VAR dlls
    UNRESOLVED_DEPENDENCIES_VAR not_found)
foreach(dll IN LISTS not_found)
    string(REGEX REPLACE "[.]dll$" "" name "${dll}")
    set(import_library)
    foreach(dir IN LISTS tracker_dll_dirs)
        if(EXISTS "${dir}/lib${name}.a")
            set(import_library "${dir}/lib${name}.a")
        endif()
    endforeach()
    if(NOT import_library)
        message(FATAL_ERROR "${dll}, which the programs import, is in none of: ${tracker_dll_dirs}")
    endif()
endforeach()
set(files)
foreach(dll IN LISTS dlls)
    string(FIND "${dll}" "${tracker_lower_case_dir}/" offered_at)
    if(offered_at EQUAL 0)
        file(READ_SYMLINK "${dll}" dll) # back to the file under its own name
    endif()
    list(APPEND files "${dll}")
endforeach()
if(files)
    file(INSTALL ${files} DESTINATION "${bin}")
endif()
