# Reads the lists of exports/netquill_calls.h, their one definition (and
# those of run/windows/inject/calls.h, for the table), and writes what the
# build makes of them:
#   NQ_DEF_FILE          the module definition of NETQUILL.DLL: the hooks as
#                        TX_name and the library's own exports, at their
#                        ordinals
#   NQ_WSOCK32_DEF_FILE  the module definition of the drop-in WSOCK32.DLL:
#                        every Windows Sockets 1.1 name and the drop-in's own,
#                        each backed by its Wsock32_name function
#   NQ_WS2_ORDINALS_DEF  ws2_32.dll's Windows Sockets 1.1 functions by ordinal
#                        only, for an import library that binds by ordinal
#   NQ_CALLS_TABLE       every list as plain text for the test scripts, one
#                        entry a line: "list name ordinal bytes ws2 data lib
#                        pends socket address wsaid", "-" where the list has
#                        no such column
# All are written when the build is configured, and again when the header
# changes. A malformed entry, a name given twice, an ordinal given twice in
# one DLL, a shape or an extension of a call no list has, or a declaration
# of netquill.h, netquill_wrap.h or of the interposer's posix_entries.h
# that the list lacks stops here.
set(nq_calls_header ${CMAKE_CURRENT_LIST_DIR}/../exports/netquill_calls.h)
set(nq_top_dir ${CMAKE_CURRENT_LIST_DIR}/..)
# The KERNEL32 calls NQINJECT.DLL replaces, listed beside its code; read
# for the table alone.
set(nq_inject_calls_header run/windows/inject/calls.h)
# The headers of netquill-run's entries, which its interposer (Linux) and
# NQINJECT.DLL (Windows) build in.
set(nq_posix_entries_header run/linux/preload/entries/posix_entries.h)
set(nq_winsock2_header run/windows/inject/entries/netquill_winsock2.h)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${nq_calls_header} ${nq_top_dir}/${nq_inject_calls_header}
  ${nq_top_dir}/include/netquill.h
  ${nq_top_dir}/include/netquill_wrap.h
  ${nq_top_dir}/${nq_posix_entries_header}
  ${nq_top_dir}/${nq_winsock2_header})
set(NQ_DEF_FILE ${CMAKE_BINARY_DIR}/exports/netquill.def)
set(NQ_WSOCK32_DEF_FILE ${CMAKE_BINARY_DIR}/exports/wsock32.def)
set(NQ_WS2_ORDINALS_DEF ${CMAKE_BINARY_DIR}/exports/ws2_32-ordinals.def)
set(NQ_CALLS_TABLE ${CMAKE_BINARY_DIR}/exports/netquill_calls.txt)

function(nq_calls_fail)
  string(CONCAT text ${ARGV})
  message(FATAL_ERROR "${nq_reading}: ${text}")
endfunction()

# Stops at a value given twice within one namespace (the names, or the
# ordinals of one DLL), naming both entries.
function(nq_calls_claim namespace value entry)
  if(DEFINED nq_claim_${namespace}_${value})
    if(namespace STREQUAL "name")
      set(what "the name ${value}")
    else()
      set(what "the ordinal ${value} in ${namespace}")
    endif()
    nq_calls_fail("${entry} and ${nq_claim_${namespace}_${value}} both "
                  "have ${what}")
  endif()
  set(nq_claim_${namespace}_${value} "${entry}" PARENT_SCOPE)
endfunction()

# Lines of a module definition: "name[ = function] @ordinal[ NONAME]", the
# names and the functions each lined up in a column, as by hand.
function(nq_def_lines out names impls ordinals suffix)
  set(width_name 0)
  set(width_impl 0)
  foreach(name impl IN ZIP_LISTS names impls)
    string(LENGTH "${name}" length)
    if(length GREATER width_name)
      set(width_name ${length})
    endif()
    string(LENGTH "${impl}" length)
    if(length GREATER width_impl)
      set(width_impl ${length})
    endif()
  endforeach()
  set(text "")
  foreach(name impl ordinal IN ZIP_LISTS names impls ordinals)
    string(LENGTH "${name}" length)
    math(EXPR pad "${width_name} - ${length} + 1")
    string(REPEAT " " ${pad} spaces)
    string(APPEND text "    ${name}${spaces}")
    if(NOT "${impl}" STREQUAL "")
      string(LENGTH "${impl}" length)
      math(EXPR pad "${width_impl} - ${length} + 1")
      string(REPEAT " " ${pad} spaces)
      string(APPEND text "= ${impl}${spaces}")
    endif()
    string(APPEND text "@${ordinal}${suffix}\n")
  endforeach()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

function(nq_read_calls)
  # One list element a line; what would join lines goes first: semicolons
  # and brackets in comments, and the macros' line continuations, which
  # become a mark: a list ends with its first entry without one. Each
  # file's lines follow a mark with its name.
  set(nq_lines "")
  foreach(header exports/netquill_calls.h ${nq_inject_calls_header})
    file(READ ${nq_top_dir}/${header} text)
    string(REGEX REPLACE "[][;]" " " text "${text}")
    string(REPLACE "\\\n" "<continued>\n" text "${text}")
    # A list of one entry stands on its define's line, as clang-format
    # puts it: the entry goes to a line of its own.
    string(REGEX REPLACE
           "(#define NQ(RUN)?_[A-Z0-9_]+\\(X\\)) +(X\\([^\n]*\\))\n"
           "\\1<continued>\n  \\3\n" text "${text}")
    string(REPLACE "\n" ";" text "${text}")
    string(APPEND nq_lines "<file ${header}>;${text};")
  endforeach()

  # The columns of each list, in order.
  set(nq_columns_traced name ordinal bytes ws2 data)
  set(nq_columns_untraced name ordinal bytes ws2)
  set(nq_columns_library name ordinal bytes)
  set(nq_columns_private name ordinal bytes)
  set(nq_columns_wsock32 name ordinal bytes)
  set(nq_columns_dropin name ordinal bytes)
  set(nq_columns_posix name data)
  set(nq_columns_winsock2 name bytes lib data pends)
  set(nq_columns_call_shapes name socket address)
  set(nq_columns_extension_ids name wsaid)
  set(nq_columns_routed name as)
  set(nq_columns_kernel name bytes)
  set(nq_columns_threadpool name bytes)
  set(nq_column_name_pattern "^[A-Za-z_][A-Za-z0-9_]*$")
  set(nq_column_as_pattern "${nq_column_name_pattern}")
  set(nq_column_ordinal_pattern "^[1-9][0-9]*$")
  set(nq_column_bytes_pattern "^(0|[1-9][0-9]*)$")
  set(nq_column_ws2_pattern "${nq_column_ordinal_pattern}")
  set(nq_column_data_pattern
      "^(sent|received|none|completed|plain_sent|plain_received)$")
  set(nq_column_lib_pattern
      "^(wsock|ws2|mswsock|extension|kernel|routine|launcher)$")
  set(nq_column_pends_pattern "^(yes|no)$")
  set(nq_column_socket_pattern "${nq_column_bytes_pattern}")
  set(nq_column_address_pattern "^(-1|0|[1-9][0-9]*)$")
  set(nq_column_wsaid_pattern "^WSAID_[A-Z0-9_]+$")
  # The DLLs whose ordinals each list takes up: the untraced calls keep
  # theirs free in NETQUILL.DLL. The launcher's entries are no DLL's
  # exports: NQINJECT.DLL builds them in.
  set(nq_dlls_traced NETQUILL WSOCK32)
  set(nq_dlls_untraced NETQUILL WSOCK32)
  set(nq_dlls_library NETQUILL)
  set(nq_dlls_private NETQUILL)
  set(nq_dlls_wsock32 WSOCK32)
  set(nq_dlls_dropin WSOCK32)
  set(nq_dlls_posix "")
  set(nq_dlls_winsock2 "")
  set(nq_dlls_call_shapes "")
  set(nq_dlls_extension_ids "")
  set(nq_dlls_routed "")
  set(nq_dlls_kernel "")
  set(nq_dlls_threadpool "")
  # The launcher's entries and the routed system calls are names of their
  # own: they may be those of calls in the other lists. A shape and an
  # extension are those of a call of another list.
  set(nq_names_winsock2 winsock2_name)
  set(nq_names_routed routed_name)
  set(nq_names_call_shapes shape_name)
  set(nq_names_extension_ids extension_name)

  set(nq_list "")
  set(nq_continued FALSE)
  set(nq_table "")
  set(nq_routed_as "")
  set(nq_lists traced untraced library private wsock32 dropin posix winsock2
               call_shapes extension_ids routed kernel threadpool)
  foreach(kind IN LISTS nq_lists)
    set(nq_${kind} "")
  endforeach()
  foreach(line IN LISTS nq_lines)
    if(line MATCHES "^<file (.*)>$")
      set(nq_reading ${CMAKE_MATCH_1})
    elseif(line MATCHES "^#define (NQ(RUN)?_[A-Z0-9_]+)\\(X\\)")
      set(macro ${CMAKE_MATCH_1})
      string(REGEX REPLACE "^NQ(RUN)?_|_(CALLS|EXPORTS)$" "" nq_list
             "${macro}")
      string(TOLOWER "${nq_list}" nq_list)
      if(NOT DEFINED nq_columns_${nq_list})
        nq_calls_fail("${macro} is no list this build knows")
      endif()
      set(nq_continued TRUE)
    elseif(NOT nq_continued)
      if(line MATCHES "^ *(X\\(.*\\))")
        nq_calls_fail("${CMAKE_MATCH_1} stands outside a list (a line "
                      "before it lacks its continuation)")
      endif()
    elseif(NOT line MATCHES "^ +X\\((.*)\\) *(<continued>)?$")
      nq_calls_fail("${macro} has a line that is no entry: '${line}'")
    else()
      set(entry_text "X(${CMAKE_MATCH_1})")
      if(NOT CMAKE_MATCH_2)
        set(nq_continued FALSE)
      endif()
      string(REPLACE "," ";" fields "${CMAKE_MATCH_1}")
      list(TRANSFORM fields STRIP)
      list(LENGTH fields count)
      list(LENGTH nq_columns_${nq_list} want)
      if(NOT count EQUAL want)
        string(REPLACE ";" ", " columns "${nq_columns_${nq_list}}")
        nq_calls_fail("${entry_text} in the ${nq_list} list, "
                      "whose entries are X(${columns})")
      endif()
      foreach(column name ordinal bytes ws2 data lib pends socket address
                     wsaid as)
        unset(nq_${column})
      endforeach()
      foreach(column value IN ZIP_LISTS nq_columns_${nq_list} fields)
        if(NOT value MATCHES "${nq_column_${column}_pattern}")
          nq_calls_fail("${entry_text}: '${value}' is no ${column}")
        endif()
        set(nq_${column} ${value})
      endforeach()
      set(entry "${nq_name} (${nq_list})")
      set(names_in name)
      if(DEFINED nq_names_${nq_list})
        set(names_in ${nq_names_${nq_list}})
      endif()
      nq_calls_claim(${names_in} ${nq_name} "${entry}")
      foreach(dll IN LISTS nq_dlls_${nq_list})
        nq_calls_claim(${dll}.DLL ${nq_ordinal} "${entry}")
      endforeach()
      if("ws2" IN_LIST nq_columns_${nq_list})
        nq_calls_claim(ws2_32.dll ${nq_ws2} "${entry}")
      endif()
      list(APPEND nq_${nq_list} ${nq_name})
      if(DEFINED nq_as)
        list(APPEND nq_routed_as ${nq_as})
      endif()
      set(row ${nq_list})
      foreach(column name ordinal bytes ws2 data lib pends socket address
                     wsaid)
        if(column IN_LIST nq_columns_${nq_list})
          list(APPEND row ${nq_${column}})
        else()
          list(APPEND row -)
        endif()
      endforeach()
      string(REPLACE ";" " " row "${row}")
      string(APPEND nq_table "${row}\n")
      # The launcher's entries share names with the calls above; they have
      # no ordinal, and their columns are kept apart.
      if(DEFINED nq_ordinal)
        set(nq_ordinal_of_${nq_name} ${nq_ordinal})
        set(nq_ws2_of_${nq_name} ${nq_ws2})
        set(nq_bytes_of_${nq_name} ${nq_bytes})
      elseif(nq_list STREQUAL "winsock2")
        foreach(column bytes lib data pends)
          set(nq_w2_${column}_of_${nq_name} ${nq_${column}})
        endforeach()
      elseif(nq_list STREQUAL "call_shapes")
        set(nq_shape_of_${nq_name} ${nq_socket} ${nq_address})
      elseif(nq_list STREQUAL "extension_ids")
        set(nq_wsaid_of_${nq_name} ${nq_wsaid})
      endif()
    endif()
  endforeach()
  set(nq_reading exports/netquill_calls.h)  # the lists checked below
  foreach(kind IN LISTS nq_lists)
    if(nq_${kind} STREQUAL "")
      nq_calls_fail("the ${kind} list is missing or empty")
    endif()
  endforeach()
  # A routed system call is traced under a name the trace has.
  foreach(name as IN ZIP_LISTS nq_routed nq_routed_as)
    if(NOT as IN_LIST nq_traced AND NOT as IN_LIST nq_posix)
      nq_calls_fail("X(${name}, ${as}) in the routed list: no traced call "
                    "is named ${as}")
    endif()
  endforeach()
  # Only a call that takes an OVERLAPPED and names no other's completion
  # stays pending.
  foreach(name IN LISTS nq_winsock2)
    if(nq_w2_pends_of_${name} STREQUAL "yes" AND
       (NOT nq_w2_lib_of_${name} MATCHES "^(ws2|mswsock|extension)$" OR
        nq_w2_data_of_${name} STREQUAL "completed"))
      nq_calls_fail("${name} in the winsock2 list: a call of lib "
                    "${nq_w2_lib_of_${name}} and data "
                    "${nq_w2_data_of_${name}} does not stay pending")
    endif()
  endforeach()
  # A shape is that of a traced call, its arguments among those the call
  # takes (its bytes in fours, where a list gives them).
  foreach(name IN LISTS nq_call_shapes)
    if(NOT name IN_LIST nq_traced AND NOT name IN_LIST nq_posix AND
       NOT name IN_LIST nq_winsock2)
      nq_calls_fail("X(${name}, ...) in the call_shapes list: no traced "
                    "call is named ${name}")
    endif()
    set(bytes "${nq_bytes_of_${name}}")
    if(bytes STREQUAL "")
      set(bytes "${nq_w2_bytes_of_${name}}")
    endif()
    list(GET nq_shape_of_${name} 0 socket)
    list(GET nq_shape_of_${name} 1 address)
    if(socket EQUAL address)
      nq_calls_fail("X(${name}, ...) in the call_shapes list: its socket and "
                    "its address are one argument")
    endif()
    foreach(place IN LISTS nq_shape_of_${name})
      if(NOT bytes STREQUAL "" AND place GREATER_EQUAL 0)
        math(EXPR takes "${bytes} / 4")
        if(place GREATER_EQUAL takes)
          nq_calls_fail("X(${name}, ...) in the call_shapes list: argument "
                        "${place} of a call that takes ${takes}")
        endif()
      endif()
    endforeach()
  endforeach()
  # An extension is a listed call, named by the SDK's WSAID_ of its name.
  foreach(name IN LISTS nq_extension_ids)
    string(TOUPPER "WSAID_${name}" want)
    if(NOT name IN_LIST nq_winsock2 AND NOT name IN_LIST nq_wsock32)
      nq_calls_fail("X(${name}, ...) in the extension_ids list: no listed "
                    "call is named ${name}")
    elseif(NOT nq_wsaid_of_${name} STREQUAL want)
      nq_calls_fail("X(${name}, ${nq_wsaid_of_${name}}) in the "
                    "extension_ids list: its GUID is ${want}")
    endif()
  endforeach()

  # A hook declared in netquill.h, a wrapper in netquill_wrap.h or a POSIX
  # entry in posix_entries.h that the lists lack stops here too; so does a
  # POSIX call without its entry (tests/calls holds the listed ones to their
  # declarations).
  set(nq_posix_entries ${nq_posix} ${nq_traced})
  set(nq_headers include/netquill.h include/netquill_wrap.h
                 ${nq_posix_entries_header} ${nq_winsock2_header})
  set(nq_prefixes TX_ nq_ NQX_ NQW_)
  set(nq_listed nq_traced nq_traced nq_posix_entries nq_winsock2)
  foreach(header prefix listed IN ZIP_LISTS nq_headers nq_prefixes nq_listed)
    file(READ ${nq_top_dir}/${header} text)
    string(REGEX MATCHALL "[^A-Za-z0-9_]${prefix}[A-Za-z0-9_]+\\(" found "${text}")
    set(nq_declared_${prefix} "")
    foreach(name IN LISTS found)
      string(REGEX REPLACE "^.${prefix}(.*)\\($" "\\1" name "${name}")
      list(APPEND nq_declared_${prefix} ${name})
      if(NOT name IN_LIST ${listed})
        nq_calls_fail("${header} has ${prefix}${name}, which the "
                      "list does not have")
      endif()
    endforeach()
  endforeach()
  foreach(name IN LISTS nq_posix)
    if(NOT name IN_LIST nq_declared_NQX_)
      nq_calls_fail("${nq_posix_entries_header} lacks NQX_${name}, which the "
                    "POSIX list has")
    endif()
  endforeach()
  foreach(name IN LISTS nq_winsock2)
    if(NOT name IN_LIST nq_declared_NQW_)
      nq_calls_fail("run/windows/inject/entries/netquill_winsock2.h lacks "
                    "NQW_${name}, which the Windows Sockets 2 list has")
    endif()
  endforeach()

  # NETQUILL.DLL: the hooks, then the library's own exports.
  set(names "")
  set(ordinals "")
  foreach(name IN LISTS nq_traced)
    list(APPEND names TX_${name})
    list(APPEND ordinals ${nq_ordinal_of_${name}})
  endforeach()
  foreach(name IN LISTS nq_library)
    list(APPEND names ${name})
    list(APPEND ordinals ${nq_ordinal_of_${name}})
  endforeach()
  nq_def_lines(entries "${names}" "" "${ordinals}" "")
  set(names "")
  set(ordinals "")
  foreach(name IN LISTS nq_private)
    list(APPEND names ${name})
    list(APPEND ordinals ${nq_ordinal_of_${name}})
  endforeach()
  nq_def_lines(private_entries "${names}" "" "${ordinals}" " PRIVATE")
  set(nq_def [[
; Export table of NETQUILL.DLL, made from exports/netquill_calls.h. Names
; and ordinals are frozen: callers bind by either, so an ordinal is never
; moved or reused.
;
; 1-114    the hooks, each at the ordinal of the Windows Sockets 1.1 function
;          that it traces
; 501      the shell's version query
; 1000-    the control API and the record writer
; 1010-    private to this project, in no import library: the drop-in
;          WSOCK32.DLL's
LIBRARY "NETQUILL.dll"
EXPORTS
]])
  string(APPEND nq_def "${entries}${private_entries}")

  # WSOCK32.DLL: every name, in the order of the ordinals.
  set(keys "")
  foreach(name IN LISTS nq_traced nq_untraced nq_wsock32 nq_dropin)
    string(LENGTH "${nq_ordinal_of_${name}}" length)
    math(EXPR pad "8 - ${length}")
    string(REPEAT "0" ${pad} zeros)
    list(APPEND keys "${zeros}${nq_ordinal_of_${name}}/${name}")
  endforeach()
  list(SORT keys)
  set(names "")
  set(impls "")
  set(ordinals "")
  foreach(key IN LISTS keys)
    string(REGEX REPLACE "^.*/" "" name "${key}")
    list(APPEND names ${name})
    list(APPEND impls Wsock32_${name})
    list(APPEND ordinals ${nq_ordinal_of_${name}})
  endforeach()
  nq_def_lines(entries "${names}" "${impls}" "${ordinals}" "")
  set(nq_wsock32_def [[
; Export table of the drop-in WSOCK32.DLL, made from exports/netquill_calls.h:
; every name at the ordinal the system's own WSOCK32.DLL gives it, so a
; program bound by name or by ordinal finds the same function. Each name is
; backed by the Wsock32_name function of this DLL, which passes the call on
; to ws2_32.dll or mswsock.dll.
;
; 1-116    Windows Sockets 1.1 (the traced calls and the untraced helpers)
; 151      the socket-set test behind FD_ISSET
; 500-     the exit procedure, the control call and the Microsoft extensions
; 1143     this DLL's own, by which netquill-run.exe knows it
LIBRARY "WSOCK32.dll"
EXPORTS
]])
  string(APPEND nq_wsock32_def "${entries}")

  # ws2_32.dll by ordinal: names only for the linker, none in the import.
  # On i686 they carry their stdcall argument bytes, as the callers' do.
  set(names "")
  set(ordinals "")
  foreach(name IN LISTS nq_traced nq_untraced)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      list(APPEND names "${name}@${nq_bytes_of_${name}}")
    else()
      list(APPEND names ${name})
    endif()
    list(APPEND ordinals ${nq_ws2_of_${name}})
  endforeach()
  nq_def_lines(entries "${names}" "" "${ordinals}" " NONAME")
  set(nq_ws2_def "LIBRARY ws2_32.dll\nEXPORTS\n${entries}")

  # Written only when changed, so nothing relinks for a mere reconfigure.
  file(CONFIGURE OUTPUT ${NQ_DEF_FILE} CONTENT "${nq_def}" @ONLY)
  file(CONFIGURE OUTPUT ${NQ_WSOCK32_DEF_FILE} CONTENT "${nq_wsock32_def}"
       @ONLY)
  file(CONFIGURE OUTPUT ${NQ_WS2_ORDINALS_DEF} CONTENT "${nq_ws2_def}" @ONLY)
  file(CONFIGURE OUTPUT ${NQ_CALLS_TABLE} CONTENT "${nq_table}" @ONLY)
endfunction()

nq_read_calls()
