# Makes the shipping archive with cpack and checks what it holds.
#   -DBUILD_DIR= -DCPACK= -DSYSTEM=win32|win64 -DVERSION=<file version text>
#   [-DDROPINS=ON]
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${CPACK} -G ZIP WORKING_DIRECTORY "${BUILD_DIR}"
                COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET)
set(zip "${BUILD_DIR}/netquill-${VERSION}-${SYSTEM}.zip")
execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf "${zip}"
                OUTPUT_VARIABLE listing COMMAND_ERROR_IS_FATAL ANY)
set(root "netquill-${VERSION}-${SYSTEM}")
set(dropin "")
if(DROPINS)
  set(dropin bin/WSOCK32.DLL bin/NQINJECT.DLL bin/netquill-run.exe)
endif()
foreach(entry bin/NETQUILL.DLL ${dropin} lib/libNETQUILL.dll.a lib/NETQUILL.lib
        lib/netquill.def include/netquill.h include/netquill_wrap.h
        share/doc/NetQuill/README.md share/doc/NetQuill/LICENSE
        lib/cmake/NetQuill/NetQuillConfig.cmake)
  string(FIND "${listing}" "${root}/${entry}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${zip} lacks ${entry}")
  endif()
endforeach()
message("${zip}: complete")
