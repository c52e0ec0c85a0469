# Installs the build into a fresh prefix, then configures, builds and runs
# the consumer project against it, as a user of the package would.
#   -DBUILD_DIR= -DSOURCE_DIR= -DWORK= [-DTOOLCHAIN=] [-DEMULATOR=] [-DPKGCONFIG=]
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE "${WORK}")
set(prefix "${WORK}/prefix")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}"
                        --prefix "${prefix}" --component library
                COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET)
set(args -S "${SOURCE_DIR}" -B "${WORK}/build" -G Ninja
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release)
if(TOOLCHAIN)
  # A cross build searches only its sysroot, so it is told where to look.
  list(APPEND args -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}
       -DNetQuill_DIR=${prefix}/lib/cmake/NetQuill)
endif()
execute_process(COMMAND ${CMAKE_COMMAND} ${args} COMMAND_ERROR_IS_FATAL ANY
                OUTPUT_QUIET)
execute_process(COMMAND ${CMAKE_COMMAND} --build "${WORK}/build"
                COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET)
file(GLOB exe "${WORK}/build/consumer" "${WORK}/build/consumer.exe")
execute_process(COMMAND ${EMULATOR} ${exe} "${WORK}/consumer.log"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("${out}${err}")
if(NOT rc EQUAL 0 OR NOT out MATCHES "consumer: OK")
  message(FATAL_ERROR "consumer failed (${rc})")
endif()

# The pkg-config file gives a plain compiler line that works as well.
if(PKGCONFIG)
  set(ENV{PKG_CONFIG_PATH} "${prefix}/lib/pkgconfig")
  execute_process(COMMAND ${PKGCONFIG} --cflags --libs netquill
                  OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE
                  COMMAND_ERROR_IS_FATAL ANY)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  execute_process(COMMAND cc -o "${WORK}/by-pkgconfig"
                          "${SOURCE_DIR}/consumer.c"
                          "${SOURCE_DIR}/exports_posix.c" ${flags} -ldl
                          -Wl,-rpath,${prefix}/lib
                  COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND "${WORK}/by-pkgconfig" "${WORK}/pc.log"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out)
  if(NOT rc EQUAL 0 OR NOT out MATCHES "consumer: OK")
    message(FATAL_ERROR "pkg-config consumer failed (${rc})")
  endif()
  message("pkg-config consumer: OK")
endif()
