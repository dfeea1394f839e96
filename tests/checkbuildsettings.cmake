# cmake -DTRACKER_...=... -P checkbuildsettings.cmake: checks the settings as the configure step does.
include("${CMAKE_CURRENT_LIST_DIR}/../modem/buildsettings.cmake")
foreach(setting TRACKER_PORT_DESCRIPTION TRACKER_ACCESS_POINT TRACKER_UPDATE_HOST)
    if(NOT DEFINED ${setting})
        set(${setting} "valid.example")
    endif()
endforeach()
check_tracker_build_settings()
message("settings accepted")
