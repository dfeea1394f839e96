# The technician's instructions that go at the top of every Windows zip, made from README's
# section between its two "read-me-first" marks, so that the two never drift: as plain
# text with Windows line ends, naming the version and the port description built in.
#
# tracker_write_read_me_first(<readme> <output> <version> <port-description> <default-description>)
# Also as a script: cmake -DREADME=... -DOUTPUT=... -DVERSION=... -DPORT_DESCRIPTION=...
# -DDEFAULT_PORT_DESCRIPTION=... -P readmefirst.cmake
function(tracker_write_read_me_first readme output version description default_description)
    file(READ "${readme}" text)
    # From the line after the first mark to the second.
    string(FIND "${text}" "<!-- read-me-first:" begin)
    string(FIND "${text}" "<!-- read-me-first: end -->" end)
    if(begin GREATER -1)
        string(SUBSTRING "${text}" ${begin} -1 text)
        string(FIND "${text}" "\n" begin)
        string(FIND "${text}" "<!-- read-me-first: end -->" end)
    endif()
    if(begin EQUAL -1 OR end LESS_EQUAL begin)
        message(FATAL_ERROR "${readme} has no section between \"<!-- read-me-first: ... -->\" and \"<!-- read-me-first: end -->\"")
    endif()
    math(EXPR begin "${begin} + 1")
    math(EXPR length "${end} - ${begin}")
    string(SUBSTRING "${text}" ${begin} ${length} section)
    # Markdown's marks would only be noise in Notepad; what is typed or shown goes in quotes.
    string(REGEX REPLACE "(^|\n)#+ " "\\1" section "${section}")
    string(REGEX REPLACE "\\[([^]]*)\\]\\([^)]*\\)" "\\1" section "${section}")
    string(REPLACE "**" "" section "${section}")
    string(REPLACE "`" "'" section "${section}")
    string(REPLACE "<version>" "${version}" section "${section}")
    string(REPLACE "\"${default_description}\"" "\"${description}\"" section "${section}")
    set(text "tracker-updater ${version} for 64-bit Windows: read me first\n\n")
    string(APPEND text "This zip updates trackers whose port Windows names \"${description}\".\n\n${section}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE "${output}" "${text}")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    tracker_write_read_me_first("${README}" "${OUTPUT}" "${VERSION}" "${PORT_DESCRIPTION}" "${DEFAULT_PORT_DESCRIPTION}")
endif()
