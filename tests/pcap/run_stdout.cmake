# Runs netquill-pcap twice on one trace, once writing the capture to a file
# (-o FILE) and once to standard output (-o -), and requires the same bytes:
# standard output must carry the capture unchanged (binary mode on Windows).
# PROGRAM, TRACE, WORK; EMULATOR is a list with '|' in place of ';'.

string(REPLACE "|" ";" emulator "${EMULATOR}")
file(MAKE_DIRECTORY ${WORK})
get_filename_component(trace_dir ${TRACE} DIRECTORY)
get_filename_component(trace_name ${TRACE} NAME)

execute_process(
  COMMAND ${emulator} ${PROGRAM} -o ${WORK}/file.pcapng ${trace_name}
  WORKING_DIRECTORY ${trace_dir}
  RESULT_VARIABLE file_status
  ERROR_VARIABLE file_err)
execute_process(
  COMMAND ${emulator} ${PROGRAM} -o - ${trace_name}
  WORKING_DIRECTORY ${trace_dir}
  OUTPUT_FILE ${WORK}/stdout.pcapng
  RESULT_VARIABLE out_status
  ERROR_VARIABLE out_err)
if(NOT file_status EQUAL 0 OR NOT out_status EQUAL 0)
  message(FATAL_ERROR
    "status ${file_status} and ${out_status}:\n${file_err}\n${out_err}")
endif()
if(NOT out_err MATCHES "frames to <stdout>")
  message(FATAL_ERROR "no summary on standard error:\n${out_err}")
endif()
file(SIZE ${WORK}/file.pcapng file_size)
file(SIZE ${WORK}/stdout.pcapng out_size)
file(SHA256 ${WORK}/file.pcapng file_hash)
file(SHA256 ${WORK}/stdout.pcapng out_hash)
if(file_size LESS 1000 OR NOT file_hash STREQUAL out_hash)
  message(FATAL_ERROR
    "-o - wrote ${out_size} bytes, -o FILE ${file_size}: not the same capture")
endif()
