# The technician's instructions that go at the top of every Windows zip, made from README's
# section between its two "read-me-first" marks, so that the two never drift: as plain
# text for Notepad with Windows line ends, naming the version, the port description, the
# access point and the update host built in, and typed commands left bare on their own
# indented lines.
#
# tracker_write_read_me_first(README <file> OUTPUT <file> VERSION <version>
#     PORT_DESCRIPTION <text> ACCESS_POINT <name> UPDATE_HOST <name> LICENSES_DIR <folder>
#     DEFAULT_PORT_DESCRIPTION <text> DEFAULT_ACCESS_POINT <name> DEFAULT_UPDATE_HOST <name>)
# Also as a script, with each keyword given as -D<KEYWORD>=...: cmake -D... -P readmefirst.cmake
# A keyword given an empty value (a build without licence texts) keeps it, without a
# warning from a newer CMake.
if(POLICY CMP0174)
    cmake_policy(SET CMP0174 NEW)
endif()
set(tracker_read_me_first_keywords README OUTPUT VERSION PORT_DESCRIPTION ACCESS_POINT UPDATE_HOST
    LICENSES_DIR DEFAULT_PORT_DESCRIPTION DEFAULT_ACCESS_POINT DEFAULT_UPDATE_HOST)

function(tracker_write_read_me_first)
    cmake_parse_arguments(PARSE_ARGV 0 arg "" "${tracker_read_me_first_keywords}" "")
    file(READ "${arg_README}" text)
    # From the line after the first mark to the second.
    string(FIND "${text}" "<!-- read-me-first:" begin)
    string(FIND "${text}" "<!-- read-me-first: end -->" end)
    if(begin GREATER -1)
        string(SUBSTRING "${text}" ${begin} -1 text)
        string(FIND "${text}" "\n" begin)
        string(FIND "${text}" "<!-- read-me-first: end -->" end)
    endif()
    if(begin EQUAL -1 OR end LESS_EQUAL begin)
        message(FATAL_ERROR "${arg_README} has no section between \"<!-- read-me-first: ... -->\" and \"<!-- read-me-first: end -->\"")
    endif()
    math(EXPR begin "${begin} + 1")
    math(EXPR length "${end} - ${begin}")
    string(SUBSTRING "${text}" ${begin} ${length} section)
    # Markdown's marks would only be noise in Notepad, and quotes around a command would be
    # typed with it: commands stand bare on indented lines, emphasis is in capitals.
    string(REGEX REPLACE "(^|\n)#+ " "\\1" section "${section}")
    string(REGEX REPLACE "\\[([^]]*)\\]\\([^)]*\\)" "\\1" section "${section}")
    string(REGEX MATCHALL "\\*\\*[^*]+\\*\\*" emphasised "${section}")
    foreach(span IN LISTS emphasised)
        string(REPLACE "**" "" capitals "${span}")
        string(TOUPPER "${capitals}" capitals)
        string(REPLACE "${span}" "${capitals}" section "${section}")
    endforeach()
    string(REPLACE "`" "" section "${section}")
    string(REPLACE "<version>" "${arg_VERSION}" section "${section}")
    string(REPLACE "\"${arg_DEFAULT_PORT_DESCRIPTION}\"" "\"${arg_PORT_DESCRIPTION}\"" section "${section}")
    string(REPLACE "https://${arg_DEFAULT_UPDATE_HOST}/" "https://${arg_UPDATE_HOST}/" section "${section}")

    # Only a release's zips, which carry the licence texts and the carrier's own names, are
    # handed out; any other says so where it is read first.
    set(title "tracker-updater ${arg_VERSION} for 64-bit Windows: read me first")
    if(arg_ACCESS_POINT STREQUAL arg_DEFAULT_ACCESS_POINT OR arg_UPDATE_HOST STREQUAL arg_DEFAULT_UPDATE_HOST)
        set(title "NOT FOR HANDING OUT, built with example names that update no tracker: ${title}")
    elseif(NOT arg_LICENSES_DIR)
        set(title "NOT FOR HANDING OUT, built without the licence texts (only a release's zips are handed out): ${title}")
    endif()
    set(text "${title}\n\n")
    string(APPEND text "This zip updates trackers whose port Windows names \"${arg_PORT_DESCRIPTION}\".\n")
    string(APPEND text "It is built for the access point ${arg_ACCESS_POINT} and the update server ${arg_UPDATE_HOST}.\n\n")
    string(APPEND text "${section}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE "${arg_OUTPUT}" "${text}")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    foreach(keyword IN LISTS tracker_read_me_first_keywords)
        list(APPEND script_arguments ${keyword} "${${keyword}}")
    endforeach()
    tracker_write_read_me_first(${script_arguments})
endif()
