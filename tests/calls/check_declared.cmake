# Every hook that netquill.h declares and every wrapper that netquill_wrap.h
# defines is in the one list of calls. (The compiled check, calls_check.cpp,
# holds each listed call to its declaration; this holds the declarations to
# the list.)
#   cmake -DTABLE=<netquill_calls.txt> -DINCLUDE_DIR=<include> -P check_declared.cmake
cmake_minimum_required(VERSION 3.25)
file(STRINGS "${TABLE}" entries REGEX "^traced ")
list(TRANSFORM entries REPLACE "^traced ([^ ]+) .*$" "\\1")
set(headers netquill.h netquill_wrap.h)
set(prefixes TX_ nq_)
foreach(header prefix IN ZIP_LISTS headers prefixes)
  file(READ "${INCLUDE_DIR}/${header}" text)
  string(REGEX MATCHALL "[^A-Za-z0-9_]${prefix}[A-Za-z0-9_]+\\(" found "${text}")
  list(TRANSFORM found REPLACE "^.${prefix}(.*)\\($" "\\1")
  list(REMOVE_DUPLICATES found)
  foreach(name IN LISTS found)
    if(NOT name IN_LIST entries)
      message(FATAL_ERROR "${header} has ${prefix}${name}, which "
                          "exports/netquill_calls.h does not list")
    endif()
  endforeach()
  list(LENGTH found count)
  message("${header}: ${count} calls, all listed")
endforeach()
