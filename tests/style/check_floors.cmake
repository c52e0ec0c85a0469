# The folders of src/ are floors, and a file includes headers from its own
# floor or the ones below it, never from a floor above: the table below is
# the order, bottom first; folders on one line share a floor. The public
# headers (include/) may be included from every floor.
#   -DSOURCE_DIR=
cmake_minimum_required(VERSION 3.25)

set(floors
  "platform"         # the system: services, lock, per-thread block
  "core"             # contexts, thread state, re-entry, error code, admission
  "output"           # numbers, lines, dumps, the file sink
  "control;hooks")   # the exported surface, load and unload

set(level 0)
foreach(line IN LISTS floors)
  foreach(folder IN LISTS line)
    set(floor_${folder} ${level})
  endforeach()
  math(EXPR level "${level} + 1")
endforeach()

file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR}/src
     ${SOURCE_DIR}/src/*.h ${SOURCE_DIR}/src/*.c ${SOURCE_DIR}/src/*.cpp
     ${SOURCE_DIR}/src/*.rc)
list(LENGTH files count)
if(count EQUAL 0)
  message(FATAL_ERROR "no source files under ${SOURCE_DIR}/src")
endif()

set(faults "")
foreach(file IN LISTS files)
  string(REGEX REPLACE "/.*" "" folder "${file}")
  get_filename_component(dir ${file} DIRECTORY)
  if(NOT DEFINED floor_${folder})
    string(APPEND faults "${file}: src/${folder} is on no floor\n")
    continue()
  endif()
  file(STRINGS ${SOURCE_DIR}/src/${file} includes
       REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(include IN LISTS includes)
    string(REGEX REPLACE "^[^\"]*\"([^\"]*)\".*" "\\1" header "${include}")
    if(EXISTS ${SOURCE_DIR}/include/${header} OR
       EXISTS ${SOURCE_DIR}/src/${dir}/${header})
      continue()  # a public header, or one beside the file
    endif()
    string(REGEX REPLACE "/.*" "" target "${header}")
    if(NOT header MATCHES "/" OR NOT DEFINED floor_${target})
      string(APPEND faults "${file} includes \"${header}\", on no floor\n")
    elseif(floor_${target} GREATER floor_${folder})
      string(APPEND faults "${file} (${folder}) includes \"${header}\" "
                           "from the floor above it (${target})\n")
    endif()
  endforeach()
endforeach()

if(faults)
  message(FATAL_ERROR "includes that point up or nowhere:\n${faults}")
endif()
message("${count} files of src/ include only their own floor and those below")
