# An include that points up does not compile, in any spelling: each line
# below plants one in a file of a lower floor (the compiler reads it from
# standard input in that floor's folder, so a quoted include is looked for
# beside it first, as for any file there) and compiles it as the floor's
# target does. It must stop, for the floor's reason; the same file with an
# include of its own floor must compile, so the flags are the floor's own.
#   -DCXX= -DSOURCE_DIR= -DFLOORS_DIR=
cmake_minimum_required(VERSION 3.25)

# folder of the tree, its level, the floors whose include roots it has, the
# planted line. Above the library's floors, the interposer's entries (level
# 5) may include the library's headers, and the interposer's own files
# (level 6, with the public header's root only) none of the library's.
set(cases
  "src/platform|1|platform|#include \"platform/os.h\"|ok"
  "src/platform|1|platform|#include <core/context.h>|up"
  "src/platform|1|platform|#include \"../core/context.h\"|up"
  "src/platform|1|platform|#include \"platform/../core/context.h\"|up"
  "src/core|2|core,platform|#include \"core/context.h\"|ok"
  "src/core|2|core,platform|#include <output/line.h>|up"
  "src/core|2|core,platform|#include \"../output/line.h\"|up"
  "src/core|2|core,platform|#include \"platform/../output/line.h\"|up"
  "src/output|3|output,core,platform|#include \"output/line.h\"|ok"
  "src/output|3|output,core,platform|#include <hooks/formatters.h>|up"
  "src/output|3|output,core,platform|#include \"../control/frame.h\"|up"
  "src/output|3|output,core,platform|#include \"core/../hooks/hook_common.h\"|up"
  "src/hooks|4|top,output,core,platform|#include \"hooks/hook_common.h\"|ok"
  "src/hooks|4|top,output,core,platform|#include <entries/posix_entries.h>|up"
  "src/hooks|4|top,output,core,platform|#include \"../../run/linux/preload/entries/held_file.h\"|up"
  "src/control|4|top,output,core,platform|#include \"hooks/../../run/linux/preload/entries/lost_records.h\"|up"
  "run/linux/preload/entries|5|posix_entries,top,output,core,platform|#include \"hooks/hook_common.h\"|ok"
  "run/linux/preload|6||#include \"../../../src/hooks/hook_common.h\"|up"
  "run/linux/preload|6||#include <core/context.h>|up")

set(faults "")
foreach(case IN LISTS cases)
  string(REPLACE "|" ";" fields "${case}")
  list(GET fields 0 folder)
  list(GET fields 1 level)
  list(GET fields 2 roots)
  list(GET fields 3 line)
  list(GET fields 4 expected)
  set(flags -std=c++17 -fsyntax-only -DNQ_FLOOR=${level}
            -I${SOURCE_DIR}/include)
  string(REPLACE "," ";" roots "${roots}")
  foreach(root IN LISTS roots)
    list(APPEND flags -I${FLOORS_DIR}/${root})
  endforeach()
  string(MAKE_C_IDENTIFIER "${folder}" name)
  set(planted ${CMAKE_CURRENT_BINARY_DIR}/planted-${name}.cpp)
  file(WRITE ${planted} "${line}\n")
  execute_process(COMMAND ${CXX} ${flags} -x c++ -
                  INPUT_FILE ${planted}
                  WORKING_DIRECTORY ${SOURCE_DIR}/${folder}
                  RESULT_VARIABLE result OUTPUT_VARIABLE out
                  ERROR_VARIABLE out)
  if(expected STREQUAL "ok" AND NOT result EQUAL 0)
    string(APPEND faults "${folder}: ${line} does not compile:\n${out}\n")
  elseif(expected STREQUAL "up" AND result EQUAL 0)
    string(APPEND faults "${folder}: ${line} compiles\n")
  elseif(expected STREQUAL "up" AND NOT out MATCHES
         "is above the floor of this file|No such file|file not found")
    string(APPEND faults "${folder}: ${line} fails otherwise:\n${out}\n")
  endif()
endforeach()

if(faults)
  message(FATAL_ERROR "${faults}")
endif()
list(LENGTH cases count)
message("${count} planted includes: the upward ones stop, the others compile")
