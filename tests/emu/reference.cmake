# Runs a call script in a fresh directory; the trace it leaves there is the
# emulator test's reference.
#   -DRUNNER= -DDLL= -DSCRIPT= -DOUT= -DEMULATOR= [-DBESIDE=]
# With BESIDE (a NETQUILL.DLL), DLL is the drop-in WSOCK32.DLL: both are
# copied into OUT and the drop-in, preferred to Wine's own, is run from there
# with its settings in the environment.
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE "${OUT}")
file(MAKE_DIRECTORY "${OUT}")
if(BESIDE)
  file(COPY "${DLL}" "${BESIDE}" DESTINATION "${OUT}")
  get_filename_component(name "${DLL}" NAME)
  set(DLL "${OUT}/${name}")
  set(ENV{NETQUILL_FILE} trace.log)
  set(ENV{NETQUILL_FLAGS} 4)
  set(ENV{WINEDLLOVERRIDES} "wsock32=n;mscoree,mshtml=")
endif()
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
