# cmake -D BUILD_DIR=... -D CPACK=... -P checkpackage.cmake: installs the build into a
# temporary prefix, starts the installed program, and packs the build with cpack.
set(work "${BUILD_DIR}/installed-package-check")
file(REMOVE_RECURSE "${work}")

execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${work}/prefix"
    RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${result}")
endif()

# It waits for a tracker for ever: its banner is all it prints in two seconds.
execute_process(COMMAND "${work}/prefix/bin/tracker-updater" TIMEOUT 2 ERROR_VARIABLE console)
string(FIND "${console}" "Please plug the tracker\nThis windows will close automatically when finished\n" banner_at)
if(NOT banner_at EQUAL 0)
    message(FATAL_ERROR "the installed program did not print its banner first:\n${console}")
endif()

execute_process(COMMAND "${CPACK}" --config "${BUILD_DIR}/CPackConfig.cmake" -B "${work}/package"
    RESULT_VARIABLE result OUTPUT_VARIABLE cpack_output ERROR_VARIABLE cpack_output)
file(GLOB archives "${work}/package/tracker-updater-*.tar.gz")
list(LENGTH archives archive_count)
if(NOT result EQUAL 0 OR NOT archive_count EQUAL 1)
    message(FATAL_ERROR "cpack made no single tracker-updater archive (${result}):\n${cpack_output}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar tf "${archives}" OUTPUT_VARIABLE content)
foreach(program tracker-updater tracker-ports)
    if(NOT content MATCHES "/bin/${program}\n")
        message(FATAL_ERROR "${archives} holds no bin/${program}:\n${content}")
    endif()
endforeach()
file(REMOVE_RECURSE "${work}")
message("installed program and package checked")
