# Installation, the CMake package, the pkg-config file and the archive.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(NQ_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/NetQuill)
# The way back up to the prefix from the package and pkg-config folders, so
# an installed tree works wherever it is put (lib or lib/<multiarch>).
file(RELATIVE_PATH NQ_CONFIG_TO_PREFIX "/p/${NQ_CMAKE_DIR}" "/p")
file(RELATIVE_PATH NQ_PC_TO_PREFIX "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
string(REGEX REPLACE "/$" "" NQ_CONFIG_TO_PREFIX "${NQ_CONFIG_TO_PREFIX}")
string(REGEX REPLACE "/$" "" NQ_PC_TO_PREFIX "${NQ_PC_TO_PREFIX}")

install(FILES include/netquill.h include/netquill_wrap.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT library)
install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR}
        COMPONENT library)
install(DIRECTORY docs DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT library)

if(WIN32)
  # The DLL, its two import libraries and the module definition, for
  # callers who bind by name or by ordinal.
  install(FILES $<TARGET_FILE:netquill> DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT library)
  install(FILES ${NQ_IMPORT_LIBS} ${NQ_DEF_FILE}
          DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library)
else()
  install(TARGETS netquill LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
          COMPONENT library NAMELINK_COMPONENT library)
  configure_file(cmake/netquill.pc.in ${CMAKE_BINARY_DIR}/netquill.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/netquill.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT library)
endif()

# Tracing a program as it is: the drop-in WSOCK32.DLL goes beside
# NETQUILL.DLL (a user copies both beside the program), and so do
# netquill-run.exe and the NQINJECT.DLL it loads, which finds NETQUILL.DLL
# in its own folder; on Linux netquill-run finds its interposer in lib from
# bin, next to libnetquill.so.
if(NQ_BUILD_DROPINS)
  if(WIN32)
    install(FILES $<TARGET_FILE:nq_wsock32> $<TARGET_FILE:nq_inject>
                  $<TARGET_FILE:netquill-run-win>
            DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT library)
  else()
    install(TARGETS netquill-run RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
            COMPONENT library)
    install(TARGETS nq_preload LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
            COMPONENT library)
  endif()
endif()

configure_file(cmake/NetQuillConfig.cmake.in
               ${CMAKE_BINARY_DIR}/NetQuillConfig.cmake @ONLY)
write_basic_package_version_file(
  ${CMAKE_BINARY_DIR}/NetQuillConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/NetQuillConfig.cmake
              ${CMAKE_BINARY_DIR}/NetQuillConfigVersion.cmake
        DESTINATION ${NQ_CMAKE_DIR} COMPONENT library)

# The shipping archive (cpack in the win32 build directory).
set(CPACK_PACKAGE_NAME netquill)
set(CPACK_PACKAGE_VENDOR "NETQUILL developers")
set(CPACK_PACKAGE_VERSION ${NQ_FILE_VERSION_TEXT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "NETQUILL socket call tracer")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR TGZ)
endif()
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
set(CPACK_COMPONENTS_ALL library)
include(CPack)
