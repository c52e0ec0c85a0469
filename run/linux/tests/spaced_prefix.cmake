# netquill-run installed under a path LD_PRELOAD cannot name (a blank, a
# colon) says so and starts nothing, rather than run the program untraced
# with the loader's complaints on its standard error.
#   -DRUN= -DPRELOAD= -DLIBRARY= -DWORK=
cmake_minimum_required(VERSION 3.25)
file(REMOVE "${WORK}/ran")
foreach(dir "with blank" "with:colon")
  set(bin "${WORK}/${dir}")
  file(REMOVE_RECURSE "${bin}")
  file(MAKE_DIRECTORY "${bin}")
  file(COPY "${RUN}" "${PRELOAD}" "${LIBRARY}" DESTINATION "${bin}")
  get_filename_component(name "${RUN}" NAME)
  execute_process(COMMAND "${bin}/${name}" -o "${WORK}/t.log" touch
                          "${WORK}/ran"
                  RESULT_VARIABLE rc ERROR_VARIABLE err TIMEOUT 60)
  if(NOT rc EQUAL 127 OR NOT err MATCHES "LD_PRELOAD cannot name" OR
     EXISTS "${WORK}/ran")
    message(FATAL_ERROR "'${dir}': ${rc} '${err}'")
  endif()
endforeach()
