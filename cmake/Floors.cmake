# The floors of src/, each a target of its own that links only the floors
# below it, so that what points up stops the build:
#  - an include: every header of a floor refuses, with #error, a file
#    compiled below it (NQ_FLOOR, the level its floor's target defines; a
#    file compiled without one is refused by every header). This holds for
#    every spelling, "../output/line.h" and "platform/../output/line.h"
#    included, which the compiler finds beside the including file before it
#    looks at any include root. The configure stops at a header of src/
#    without its floor's guard. Each floor's include root holds its own
#    folders only, so <output/line.h> from below is not even found.
#  - a call: each floor, with those below it, is linked alone as a shared
#    library in which every symbol must resolve (the top floor is the
#    library itself).
#
# nq_add_floor(name level FOLDERS folder... SOURCES file... [BELOW target]
#              [ROOT dir]) makes the object library nq_floor_<name>, which
# compiles its sources at NQ_FLOOR=level with the include root
# build/floors/<name>, and
# nq_floor_<name>_headers, which compiles each of its headers alone there
# (the other system's headers of src/platform/ aside). The folders are
# those of src/, or of ROOT (a path from the top of the tree) for a floor
# that a launcher builds into its own binary above the library's floors.
if(WIN32)
  set(NQ_OTHER_PLATFORM posix)
else()
  set(NQ_OTHER_PLATFORM win32)
endif()
function(nq_add_floor name level)
  cmake_parse_arguments(F "" "BELOW;ROOT" "FOLDERS;SOURCES" ${ARGN})
  if(NOT F_ROOT)
    set(F_ROOT src)
  endif()
  set(root ${CMAKE_BINARY_DIR}/floors/${name})
  set(checks "")
  file(MAKE_DIRECTORY ${root})
  foreach(folder IN LISTS F_FOLDERS)
    if(NOT IS_SYMLINK ${root}/${folder})
      file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${F_ROOT}/${folder} ${root}/${folder}
           SYMBOLIC)
    endif()
    file(GLOB_RECURSE headers CONFIGURE_DEPENDS
         ${PROJECT_SOURCE_DIR}/${F_ROOT}/${folder}/*.h)
    foreach(header IN LISTS headers)
      file(STRINGS ${header} guard REGEX "^#if NQ_FLOOR < ${level}$")
      if(NOT guard)
        message(FATAL_ERROR "${header} lacks its floor's guard:\n"
                "#if NQ_FLOOR < ${level}\n#error \"${F_ROOT}/${folder}/ is above "
                "the floor of this file (NQ_FLOOR)\"\n#endif")
      endif()
      # Each header is compiled on its own floor too, also one that no
      # source of the floor includes, so its own includes are held there.
      file(RELATIVE_PATH path ${PROJECT_SOURCE_DIR}/${F_ROOT} ${header})
      if(NOT path MATCHES "/${NQ_OTHER_PLATFORM}/")
        set(check ${CMAKE_BINARY_DIR}/floors/${name}-headers/${path}.cpp)
        file(CONFIGURE OUTPUT ${check} CONTENT "#include \"${path}\"\n")
        list(APPEND checks ${check})
      endif()
    endforeach()
  endforeach()
  foreach(source IN LISTS F_SOURCES)
    string(REGEX MATCH "^${F_ROOT}/([^/]+)/" match "${source}")
    if(NOT CMAKE_MATCH_1 IN_LIST F_FOLDERS)
      message(FATAL_ERROR "${source} is not on the floor ${name}")
    endif()
  endforeach()
  add_library(nq_floor_${name} OBJECT ${F_SOURCES})
  add_library(nq_floor_${name}_headers OBJECT ${checks})
  target_include_directories(nq_floor_${name} PUBLIC ${root}
                             ${PROJECT_SOURCE_DIR}/include)
  foreach(target nq_floor_${name} nq_floor_${name}_headers)
    target_compile_definitions(${target} PRIVATE NQ_FLOOR=${level})
    target_link_libraries(${target} PRIVATE nq_library_options
                          netquill_warnings)
    set_target_properties(${target} PROPERTIES
      POSITION_INDEPENDENT_CODE ON
      CXX_VISIBILITY_PRESET hidden
      VISIBILITY_INLINES_HIDDEN ON)
  endforeach()
  target_link_libraries(nq_floor_${name} PUBLIC ${F_BELOW})
  target_link_libraries(nq_floor_${name}_headers PRIVATE nq_floor_${name})
endfunction()

# nq_link_floor_alone(name floor...): links the objects of the floors given
# (one and every floor below it) as a shared library of their own, where a
# call to a floor above has nothing to resolve to. Not where the sanitizers'
# runtime, which the program brings, leaves symbols open.
function(nq_link_floor_alone name)
  if(NQ_SANITIZE)
    return()
  endif()
  set(objects "")
  foreach(floor IN LISTS ARGN)
    list(APPEND objects $<TARGET_OBJECTS:nq_floor_${floor}>)
  endforeach()
  add_library(nq_floor_${name}_alone SHARED ${objects})
  set_target_properties(nq_floor_${name}_alone PROPERTIES LINKER_LANGUAGE CXX)
  target_link_options(nq_floor_${name}_alone PRIVATE -Wl,--no-undefined)
  if(NOT WIN32)
    target_link_libraries(nq_floor_${name}_alone PRIVATE pthread)
  endif()
endfunction()
