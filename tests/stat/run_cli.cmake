# Runs netquill-stat once and checks what it did:
#   - its exit status equals EXPECT_STATUS;
#   - its standard output equals the file EXPECT_STDOUT (empty if not
#     given), ignoring the CR that Windows puts before each LF;
#   - each line of the file EXPECT_STDERR occurs in its standard error (Wine
#     may add lines of its own); without that file, the program must not have
#     written any message of its own there.
# ARGS and EMULATOR are lists with '|' in place of ';'. Paths in
# EXPECT_STDOUT and EXPECT_STDERR are relative to WORKDIR.

string(REPLACE "|" ";" args "${ARGS}")
string(REPLACE "|" ";" emulator "${EMULATOR}")

execute_process(
    COMMAND ${emulator} ${PROGRAM} ${args}
    WORKING_DIRECTORY ${WORKDIR}
    RESULT_VARIABLE status
    OUTPUT_VARIABLE out
    ERROR_VARIABLE err)
string(REPLACE "\r\n" "\n" out "${out}")
string(REPLACE "\r\n" "\n" err "${err}")

set(failed FALSE)
if(NOT "${status}" STREQUAL "${EXPECT_STATUS}")
    message(WARNING "exit status ${status}, expected ${EXPECT_STATUS}")
    set(failed TRUE)
endif()

set(expected "")
if(EXPECT_STDOUT)
    file(READ ${WORKDIR}/${EXPECT_STDOUT} expected)
    string(REPLACE "\r\n" "\n" expected "${expected}")
endif()
if(NOT out STREQUAL expected)
    message(WARNING "standard output differs from ${EXPECT_STDOUT}:\n"
        "---- got ----\n${out}---- expected ----\n${expected}----")
    set(failed TRUE)
endif()

if(EXPECT_STDERR)
    file(STRINGS ${WORKDIR}/${EXPECT_STDERR} wanted_lines)
    foreach(wanted IN LISTS wanted_lines)
        string(FIND "${err}" "${wanted}" at)
        if(at EQUAL -1)
            message(WARNING "standard error lacks: ${wanted}")
            set(failed TRUE)
        endif()
    endforeach()
elseif(err MATCHES "netquill-stat|malformed")
    message(WARNING "unexpected messages on standard error:\n${err}")
    set(failed TRUE)
endif()

if(failed)
    message(FATAL_ERROR "netquill-stat ${ARGS}: failed\n---- stderr ----\n${err}")
endif()
