# Reads the export lists out of exports/netquill_calls.h, their one
# definition, and writes what the build makes of them:
#   NQ_DEF_FILE     the module definition of NETQUILL.DLL: the hooks as TX_name
#                   and the library's own exports, at their ordinals
#   NQ_CALLS_TABLE  every list as plain text for the test scripts, one entry a
#                   line: "traced|untraced|library name ordinal bytes"
# Both are written when the build is configured, and again when the header
# changes; a name or an ordinal given twice stops here.
set(nq_calls_header ${CMAKE_CURRENT_LIST_DIR}/../exports/netquill_calls.h)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${nq_calls_header} ${CMAKE_CURRENT_LIST_DIR}/../include/netquill.h
  ${CMAKE_CURRENT_LIST_DIR}/../include/netquill_wrap.h)
set(NQ_DEF_FILE ${CMAKE_BINARY_DIR}/exports/netquill.def)
set(NQ_CALLS_TABLE ${CMAKE_BINARY_DIR}/exports/netquill_calls.txt)

# One list element a line; the macros' line continuations go first, as a
# backslash before the separator would join two lines.
file(READ ${nq_calls_header} nq_lines)
string(REPLACE "\\" "" nq_lines "${nq_lines}")
string(REPLACE ";" "," nq_lines "${nq_lines}")
string(REPLACE "\n" ";" nq_lines "${nq_lines}")
set(nq_list "")
set(nq_names "")
set(nq_traced "")
set(nq_ordinals "")
set(nq_exports "")
set(nq_table "")
foreach(line IN LISTS nq_lines)
  if(line MATCHES "^#define NQ_(TRACED_CALLS|UNTRACED_CALLS|LIBRARY_EXPORTS)\\(X\\)")
    string(REGEX REPLACE "_.*" "" nq_list "${CMAKE_MATCH_1}")
    string(TOLOWER "${nq_list}" nq_list)
  elseif(line MATCHES "^ +X\\(([A-Za-z_][A-Za-z0-9_]*), ([0-9]+), ([0-9]+)\\)")
    set(name ${CMAKE_MATCH_1})
    set(ordinal ${CMAKE_MATCH_2})
    if(name IN_LIST nq_names OR ordinal IN_LIST nq_ordinals)
      message(FATAL_ERROR "netquill_calls.h: ${name} @${ordinal} given twice")
    endif()
    list(APPEND nq_names ${name})
    list(APPEND nq_ordinals ${ordinal})
    string(APPEND nq_table "${nq_list} ${name} ${ordinal} ${CMAKE_MATCH_3}\n")
    if(nq_list STREQUAL "traced")
      list(APPEND nq_traced ${name})
      list(APPEND nq_exports "TX_${name}@${ordinal}")
    elseif(nq_list STREQUAL "library")
      list(APPEND nq_exports "${name}@${ordinal}")
    endif()
  endif()
endforeach()

# A hook declared in netquill.h or a wrapper in netquill_wrap.h that the list
# lacks stops here too (tests/calls holds the listed ones to their
# declarations).
set(nq_headers netquill.h netquill_wrap.h)
set(nq_prefixes TX_ nq_)
foreach(header prefix IN ZIP_LISTS nq_headers nq_prefixes)
  file(READ ${CMAKE_CURRENT_LIST_DIR}/../include/${header} text)
  string(REGEX MATCHALL "[^A-Za-z0-9_]${prefix}[A-Za-z0-9_]+\\(" found "${text}")
  foreach(name IN LISTS found)
    string(REGEX REPLACE "^.${prefix}(.*)\\($" "\\1" name "${name}")
    if(NOT name IN_LIST nq_traced)
      message(FATAL_ERROR "include/${header} has ${prefix}${name}, which "
                          "exports/netquill_calls.h does not list")
    endif()
  endforeach()
endforeach()

# The names line up in one column, as they would by hand.
set(nq_width 0)
foreach(entry IN LISTS nq_exports)
  string(REGEX REPLACE "@.*" "" name "${entry}")
  string(LENGTH "${name}" length)
  if(length GREATER nq_width)
    set(nq_width ${length})
  endif()
endforeach()
set(nq_def [[
; Export table of NETQUILL.DLL, made from exports/netquill_calls.h. Names
; and ordinals are frozen: callers bind by either, so an ordinal is never
; moved or reused.
;
; 1-114    the hooks, each at the ordinal of the Windows Sockets 1.1 function
;          that it traces
; 501      the shell's version query
; 1000-    the control API and the record writer
LIBRARY "NETQUILL.dll"
EXPORTS
]])
foreach(entry IN LISTS nq_exports)
  string(REGEX MATCH "^([^@]+)@(.*)$" entry "${entry}")
  string(LENGTH "${CMAKE_MATCH_1}" length)
  math(EXPR pad "${nq_width} - ${length} + 1")
  string(REPEAT " " ${pad} spaces)
  string(APPEND nq_def "    ${CMAKE_MATCH_1}${spaces}@${CMAKE_MATCH_2}\n")
endforeach()

# Written only when changed, so nothing relinks for a mere reconfigure.
file(CONFIGURE OUTPUT ${NQ_DEF_FILE} CONTENT "${nq_def}" @ONLY)
file(CONFIGURE OUTPUT ${NQ_CALLS_TABLE} CONTENT "${nq_table}" @ONLY)
unset(nq_calls_header)
unset(nq_lines)
unset(nq_list)
unset(nq_names)
unset(nq_traced)
unset(nq_headers)
unset(text)
unset(found)
unset(nq_prefixes)
unset(nq_ordinals)
unset(nq_exports)
unset(nq_table)
unset(nq_width)
unset(nq_def)
