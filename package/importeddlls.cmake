# Run at install time by tracker_install_imported_dlls(): copies into the installed bin
# folder every DLL that the installed programs import, directly or through another DLL,
# found in tracker_dll_dirs. A DLL found nowhere must be one that every 64-bit Windows 10
# and 11 has (an API set, or one of windows_dlls below); otherwise it is missing and
# installing stops, so no package is made that cannot start.
set(bin "${CMAKE_INSTALL_PREFIX}/${tracker_bin_dir}")
set(executables)
foreach(program IN LISTS tracker_programs)
    list(APPEND executables "$ENV{DESTDIR}${bin}/${program}")
endforeach()
# The DLLs of a bare Windows that Qt Core, Qt Serial Port and the MinGW runtime import.
set(windows_dlls advapi32 authz bcrypt cfgmgr32 crypt32 dwmapi gdi32 kernel32 mpr msvcrt netapi32
    ntdll ole32 oleaut32 rpcrt4 secur32 setupapi shell32 shlwapi ucrtbase user32 userenv uxtheme
    version winmm ws2_32)
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
    string(TOLOWER "${dll}" name)
    string(REGEX REPLACE "[.]dll$" "" name "${name}")
    list(FIND windows_dlls "${name}" known_at)
    if(known_at EQUAL -1)
        message(FATAL_ERROR "${dll}, which the programs import, is not one that every Windows has, "
            "and is in none of: ${tracker_dll_dirs}")
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
    # Packed stripped, like the programs: the MinGW runtime comes with its debug sections.
    if(CMAKE_INSTALL_DO_STRIP AND tracker_strip)
        foreach(file IN LISTS files)
            get_filename_component(name "${file}" NAME)
            execute_process(COMMAND "${tracker_strip}" --strip-unneeded "$ENV{DESTDIR}${bin}/${name}"
                RESULT_VARIABLE stripped)
            if(NOT stripped EQUAL 0)
                message(FATAL_ERROR "cannot strip ${name}")
            endif()
        endforeach()
    endif()
endif()
