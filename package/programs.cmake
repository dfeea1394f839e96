# tracker_describe_program(<target> <description>): on Windows, the program says what it
# is and which version and commit it was built from (Explorer's Properties > Details),
# and its PE header carries no link time, which would make every build differ. Called by
# the room that builds the program.
set(tracker_version_rc "${CMAKE_CURRENT_LIST_DIR}/version.rc.in")

function(tracker_describe_program tracker_program tracker_program_description)
    if(NOT WIN32)
        return()
    endif()
    set(tracker_version_numbers "${PROJECT_VERSION_MAJOR}")
    foreach(part MINOR PATCH TWEAK)
        if(PROJECT_VERSION_${part} STREQUAL "")
            string(APPEND tracker_version_numbers ",0")
        else()
            string(APPEND tracker_version_numbers ",${PROJECT_VERSION_${part}}")
        endif()
    endforeach()
    configure_file("${tracker_version_rc}" "${tracker_program}.rc" @ONLY)
    target_sources(${tracker_program} PRIVATE "${CMAKE_CURRENT_BINARY_DIR}/${tracker_program}.rc")
    if(MINGW)
        target_link_options(${tracker_program} PRIVATE -Wl,--no-insert-timestamp)
    endif()
endfunction()
