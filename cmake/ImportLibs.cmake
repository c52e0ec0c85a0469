# Makes the import libraries of NETQUILL.DLL from the module definition.
#
#   cmake -DDEF=... -DCORE=<static library of the objects> -DNM=... \
#         -DDLLTOOL=... -DLLVM_DLLTOOL=... -DMACHINE=i386|i386:x86-64 \
#         -DOUT_DIR=... -P ImportLibs.cmake
#
# On 32-bit x86 a caller that declares an export __stdcall refers to it as
# _Name@bytes, while the DLL exports the plain Name. The definition written
# here pairs the two, with the byte counts read off the compiled objects,
# so each import library maps the caller's decorated symbol to the plain
# export at its ordinal. Output: libNETQUILL.dll.a (GNU dlltool, for MinGW)
# and NETQUILL.lib (llvm-dlltool, the short import format of Microsoft's
# linker), both binding by name; the ordinals are in the definition for
# callers who bind by ordinal.
cmake_minimum_required(VERSION 3.25)

file(STRINGS "${DEF}" lines)
execute_process(COMMAND "${NM}" -g "${CORE}" OUTPUT_VARIABLE symbols
                COMMAND_ERROR_IS_FATAL ANY)

set(out "LIBRARY \"NETQUILL.dll\"\nEXPORTS\n")
foreach(line IN LISTS lines)
  # A private export stays out of the import libraries.
  if(line MATCHES "^[ \t]*([A-Za-z_][A-Za-z0-9_]*)[ \t]+@([0-9]+)[ \t]*$")
    set(name "${CMAKE_MATCH_1}")
    set(ordinal "${CMAKE_MATCH_2}")
    set(decorated "${name}")
    if(MACHINE STREQUAL "i386")
      if(NOT symbols MATCHES " T _${name}@([0-9]+)\n")
        message(FATAL_ERROR "no stdcall symbol for ${name} in ${CORE}")
      endif()
      set(decorated "${name}@${CMAKE_MATCH_1}")
    endif()
    string(APPEND out "    ${decorated} @${ordinal}\n")
  endif()
endforeach()

set(decorated_def "${OUT_DIR}/netquill-import.def")
file(WRITE "${decorated_def}" "${out}")
execute_process(
  COMMAND "${DLLTOOL}" -m ${MACHINE} -k -d "${decorated_def}"
          -D NETQUILL.DLL -l "${OUT_DIR}/libNETQUILL.dll.a"
  COMMAND_ERROR_IS_FATAL ANY)
if(MACHINE STREQUAL "i386")
  set(llvm_machine i386)
else()
  set(llvm_machine i386:x86-64)
endif()
execute_process(
  COMMAND "${LLVM_DLLTOOL}" -m ${llvm_machine} -k -d "${decorated_def}"
          -D NETQUILL.DLL -l "${OUT_DIR}/NETQUILL.lib"
  COMMAND_ERROR_IS_FATAL ANY)
