# tracker_install_programs(<target>...): installs the programs into bin, with everything
# they need to start on a bare 64-bit Windows desktop, however they were built:
#  - a static Qt: nothing beside them; with MinGW they carry the GCC runtime themselves;
#  - a shared Qt with a deploy tool (windeployqt): Qt's deploy step, which also brings the
#    MinGW runtime;
#  - a shared Qt without one (built on Linux for Windows): the DLLs the programs import,
#    found in Qt's and the compiler's folders;
#  - a Qt with no deploy support at all (6.2): configure says what would be missing, and
#    installing, and so packaging, fails before copying anything rather than give a
#    folder that cannot start.
# With MSVC, its runtime libraries go beside the programs as well.
# Elsewhere Qt is a system library: the programs alone.
set(tracker_packaging_dir "${CMAKE_CURRENT_LIST_DIR}")

function(tracker_install_programs)
    if(NOT WIN32)
        install(TARGETS ${ARGN} RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
        return()
    endif()

    get_target_property(qt_type Qt6::Core TYPE)
    # Before any other install rule, so that nothing is copied.
    if(NOT qt_type STREQUAL "STATIC_LIBRARY" AND NOT COMMAND qt_generate_deploy_app_script)
        if(MINGW)
            set(mingw_runtime " and the MinGW runtime")
        endif()
        message(WARNING "Qt ${Qt6_VERSION} cannot deploy its libraries: an installed folder or "
            "package of ${ARGN} would lack the Qt libraries they import (Qt6Core, "
            "Qt6SerialPort)${mingw_runtime} and could not start, so installing and packaging "
            "stop with an error. Build with Qt 6.3 or later (6.5 or later recommended).")
        install(CODE "message(FATAL_ERROR \"Qt ${Qt6_VERSION} cannot deploy its libraries: build with Qt 6.3 or later\")")
        return()
    endif()

    install(TARGETS ${ARGN} RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
    set(CMAKE_INSTALL_SYSTEM_RUNTIME_DESTINATION "${CMAKE_INSTALL_BINDIR}")
    include(InstallRequiredSystemLibraries)

    if(qt_type STREQUAL "STATIC_LIBRARY")
        if(MINGW)
            foreach(target IN LISTS ARGN)
                target_link_options(${target} PRIVATE -static)
            endforeach()
        endif()
        return()
    endif()

    find_program(WINDEPLOYQT_EXECUTABLE windeployqt HINTS "${QT6_INSTALL_PREFIX}/${QT6_INSTALL_BINS}")
    if(TARGET Qt6::windeployqt OR WINDEPLOYQT_EXECUTABLE)
        foreach(target IN LISTS ARGN)
            if(Qt6_VERSION VERSION_GREATER_EQUAL 6.5)
                qt_generate_deploy_app_script(TARGET ${target} OUTPUT_SCRIPT deploy_script
                    NO_UNSUPPORTED_PLATFORM_ERROR)
            else()
                qt_generate_deploy_app_script(TARGET ${target} FILENAME_VARIABLE deploy_script
                    NO_UNSUPPORTED_PLATFORM_ERROR)
            endif()
            install(SCRIPT "${deploy_script}")
        endforeach()
        return()
    endif()

    tracker_install_imported_dlls(${ARGN})
endfunction()

# Has the DLLs the programs import copied beside them at install time, from Qt's folder and
# the compiler's (see importeddlls.cmake).
function(tracker_install_imported_dlls)
    # GCC's runtime DLLs lie in its library folders on Linux, beside the compiler on Windows.
    set(library_dirs)
    if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -print-search-dirs
            OUTPUT_VARIABLE search_dirs ERROR_QUIET)
        string(REGEX MATCH "libraries: =[^\n]*" library_dirs "${search_dirs}")
        string(REGEX REPLACE "^libraries: =" "" library_dirs "${library_dirs}")
        if(NOT CMAKE_HOST_WIN32)
            string(REPLACE ":" ";" library_dirs "${library_dirs}")
        endif()
    endif()
    get_filename_component(compiler_dir "${CMAKE_CXX_COMPILER}" DIRECTORY)
    set(dll_dirs "${QT6_INSTALL_PREFIX}/${QT6_INSTALL_BINS}" "${compiler_dir}" ${library_dirs})
    list(FILTER dll_dirs EXCLUDE REGEX "^$")

    set(programs)
    foreach(target IN LISTS ARGN)
        list(APPEND programs "$<TARGET_FILE_NAME:${target}>")
    endforeach()
    install(CODE "
        set(tracker_bin_dir \"${CMAKE_INSTALL_BINDIR}\")
        set(tracker_programs \"${programs}\")
        set(tracker_dll_dirs \"${dll_dirs}\")
        set(tracker_cross_objdump \"$<$<BOOL:${CMAKE_CROSSCOMPILING}>:${CMAKE_OBJDUMP}>\")
        set(tracker_strip \"${CMAKE_STRIP}\")
        set(tracker_lower_case_dir \"${CMAKE_CURRENT_BINARY_DIR}/imported-dlls\")
        include(\"${tracker_packaging_dir}/importeddlls.cmake\")")
endfunction()
