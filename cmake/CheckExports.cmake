# The symbols libnetquill.so exports are exactly the list's: every traced
# call as TX_name and the library's own exports; netquill-run's entries are
# built into its interposer, never exported here. A hook whose definition
# drifted from its declaration (an argument of another type: a C++
# overload, no longer the C name) leaves its name out, and one defined by
# mistake adds a name; either stops the build here.
#   -DNM= -DLIBRARY= -DTABLE= (exports/netquill_calls.txt)
#   -DSTAMP= (written when the exports match)
cmake_minimum_required(VERSION 3.25)

file(STRINGS ${TABLE} entries)
set(expected "")
foreach(entry IN LISTS entries)
  if(entry MATCHES "^traced ([A-Za-z0-9_]+) ")
    list(APPEND expected TX_${CMAKE_MATCH_1})
  elseif(entry MATCHES "^library ([A-Za-z0-9_]+) ")
    list(APPEND expected ${CMAKE_MATCH_1})
  endif()
endforeach()
list(REMOVE_DUPLICATES expected)

execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                RESULT_VARIABLE result OUTPUT_VARIABLE out)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${NM} cannot read ${LIBRARY}")
endif()
string(REGEX MATCHALL " [A-Za-z] [A-Za-z0-9_]+\n" found "${out}")
set(exported "")
foreach(line IN LISTS found)
  string(REGEX REPLACE "^ . (.*)\n$" "\\1" name "${line}")
  list(APPEND exported ${name})
endforeach()

set(missing ${expected})
list(REMOVE_ITEM missing ${exported})
set(extra ${exported})
list(REMOVE_ITEM extra ${expected})
if(missing OR extra)
  list(JOIN missing " " missing)
  list(JOIN extra " " extra)
  message(FATAL_ERROR "${LIBRARY} does not export what the list says\n"
          "  missing (a definition that does not match its declaration?): "
          "${missing}\n  not listed: ${extra}")
endif()
list(LENGTH expected count)
file(WRITE ${STAMP} "${count} exports, as listed\n")
