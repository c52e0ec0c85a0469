# Runs a case of the probe's "process" scenario (PROBE process CASE) under
# netquill-run -ff and counts the lines of one kind in the probe's own file.
# The case "shim" runs with the program's own shim (SHIM) preloaded.
#   -DRUN= -DPROBE= -DCASE= -DWORK= -DPATTERN= -DCOUNT= -DSHIM=
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
set(preload "")
if(CASE STREQUAL "shim")
  set(preload "LD_PRELOAD=${SHIM}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env ${preload}
                        "${RUN}" -ff -o "${WORK}/trace.log" "${PROBE}" process
                        ${CASE}
                OUTPUT_VARIABLE out RESULT_VARIABLE rc TIMEOUT 120)
if(NOT rc EQUAL 0 OR NOT out MATCHES "pid ([0-9]+)")
  message(FATAL_ERROR "the probe failed (${rc}): ${out}")
endif()
set(own "${WORK}/trace.log.${CMAKE_MATCH_1}")
if(NOT EXISTS "${own}")
  message(FATAL_ERROR "no trace of the probe's own process: ${own}")
endif()
file(STRINGS "${own}" lines REGEX "${PATTERN}")
list(LENGTH lines count)
if(NOT count EQUAL COUNT)
  file(READ "${own}" whole LIMIT 4000)
  message(FATAL_ERROR "${count} lines like '${PATTERN}', expected ${COUNT}:\n${whole}")
endif()
message("${CASE}: ${count} lines like '${PATTERN}'")
