# Every C and C++ file of the checkout, as git lists it, must be laid out as
# the one .clang-format at the top says: no file left out, no nested
# .clang-format, no region switched off.
#   -DSOURCE_DIR= -DGIT= -DCLANG_FORMAT=
# Prints "SKIPPED: <why>" and passes when the tree is no git checkout (a
# source archive), where the list of files cannot be had.
cmake_minimum_required(VERSION 3.25)

if(NOT GIT)
  message("SKIPPED: git is not installed, so the tracked files are unknown")
  return()
endif()
execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} rev-parse --is-inside-work-tree
                RESULT_VARIABLE in_checkout OUTPUT_QUIET ERROR_QUIET)
if(NOT in_checkout EQUAL 0)
  message("SKIPPED: ${SOURCE_DIR} is not a git checkout")
  return()
endif()
if(NOT CLANG_FORMAT)
  message(FATAL_ERROR "clang-format not found (scripts/install-deps.sh)")
endif()

execute_process(
  COMMAND ${GIT} -C ${SOURCE_DIR} ls-files -- *.c *.cc *.cpp *.cxx *.h *.hh
          *.hpp *.hxx
  OUTPUT_VARIABLE files OUTPUT_STRIP_TRAILING_WHITESPACE
  COMMAND_ERROR_IS_FATAL ANY)
string(REPLACE "\n" ";" files "${files}")
list(LENGTH files count)
if(count EQUAL 0)
  message(FATAL_ERROR "git lists no C or C++ file in ${SOURCE_DIR}")
endif()

set(faults "")
execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} ls-files -- */.clang-format
                OUTPUT_VARIABLE nested OUTPUT_STRIP_TRAILING_WHITESPACE)
if(nested)
  string(APPEND faults "nested settings: ${nested}\n")
endif()
foreach(file IN LISTS files)
  file(STRINGS ${SOURCE_DIR}/${file} switches REGEX "clang-format +(off|on)")
  if(switches)
    string(APPEND faults "${file} switches formatting off\n")
  endif()
endforeach()

execute_process(COMMAND ${CLANG_FORMAT} --dry-run -Werror ${files}
                WORKING_DIRECTORY ${SOURCE_DIR}
                RESULT_VARIABLE status ERROR_VARIABLE report)
if(NOT status EQUAL 0)
  string(REGEX MATCHALL "[^\n]*: error: [^\n]*" lines "${report}")
  set(unformatted "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE ":[0-9]+:[0-9]+: error:.*" "" path "${line}")
    list(APPEND unformatted ${path})
  endforeach()
  list(REMOVE_DUPLICATES unformatted)
  list(JOIN unformatted "\n  " unformatted)
  string(APPEND faults "not as .clang-format lays them out "
                       "(run clang-format -i on them):\n  ${unformatted}\n")
endif()

if(faults)
  message(FATAL_ERROR "${faults}")
endif()
message("${count} files follow .clang-format")
