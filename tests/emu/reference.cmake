# Runs the call script against the 64-bit DLL in a fresh directory; the
# trace it leaves there is the emulator test's reference.
#   -DRUNNER= -DDLL= -DSCRIPT= -DOUT= -DEMULATOR=
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE "${OUT}")
file(MAKE_DIRECTORY "${OUT}")
execute_process(COMMAND ${EMULATOR} "${RUNNER}" "${DLL}" "${SCRIPT}"
                WORKING_DIRECTORY "${OUT}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the call script failed (${rc})")
endif()
if(NOT EXISTS "${OUT}/trace.log")
  message(FATAL_ERROR "the call script left no trace")
endif()
file(STRINGS "${OUT}/trace.log" lines)
list(LENGTH lines count)
message("reference trace: ${count} lines in ${OUT}/trace.log")
