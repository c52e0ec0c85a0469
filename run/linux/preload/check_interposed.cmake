# Run after the interposer is linked: every call of the POSIX list, every
# traced call that the C library has under the same name, and every system
# call routed to a function of the same name must be among the
# interposer's exports, or the program's calls would pass by untraced.
# Nor may it export anything of the library built into it (a hook, the
# control API, an entry): a program that loads libnetquill.so itself would
# bind its calls to the interposer's copy, and its own trace would go into
# the launcher's. A library that fails either is removed, so
# the build stays failed.
#   LIBRARY  the linked interposer
#   TABLE    the list of calls as the build wrote it (Calls.cmake)
#   NM       the nm of the toolchain
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE symbols RESULTS_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${NM} could not read ${LIBRARY}")
endif()
string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_]*\n" exported "${symbols}")
string(REPLACE "\n" "" exported "${exported}")

# Windows Sockets' own calls have other names in the C library (close,
# ioctl) or none at all (WSA*).
file(STRINGS ${TABLE} rows)
set(missing "")
foreach(row IN LISTS rows)
  string(REPLACE " " ";" row "${row}")
  list(GET row 0 kind)
  list(GET row 1 name)
  if(kind MATCHES "^(posix|routed)$" OR (kind STREQUAL "traced" AND
     NOT name MATCHES "^(WSA|closesocket$|ioctlsocket$)"))
    if(NOT name IN_LIST exported)
      list(APPEND missing ${name})
    endif()
  endif()
endforeach()
set(leaked ${exported})
list(FILTER leaked INCLUDE REGEX
     "^(TX_|NQX_|NQP_|WSA.*Trace|NetQuillWrite$|DllGetVersion$)")
if(missing OR leaked)
  file(REMOVE ${LIBRARY})
  message(FATAL_ERROR "${LIBRARY} does not interpose ${missing}, which "
                      "exports/netquill_calls.h lists; it exports the "
                      "library's ${leaked}")
endif()
