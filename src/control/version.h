/* The library's version, in one place: the code, the banners and the
 * Windows version resource include this header, and the build reads its
 * numbers out of it (cmake/Version.cmake) for the project, the shared
 * object, the packages and the tests. */
#ifndef NQ_CONTROL_VERSION_H
#define NQ_CONTROL_VERSION_H

// A header of the top floor: a file below it must not include it.
#if NQ_FLOOR < 4
#error "src/control/ is above the floor of this file (NQ_FLOOR)"
#endif

/* What DllGetVersion and the start banner report. */
#define NQ_VERSION_MAJOR 4
#define NQ_VERSION_MINOR 0
#define NQ_VERSION_BUILD 4000
#define NQ_VERSION_PLATFORM 1 /* built for all Windows platforms */

/* The file's version: the resource, the project, the packages. The text
 * writes the minor number with two digits. */
#define NQ_FILE_VERSION_MAJOR 4
#define NQ_FILE_VERSION_MINOR 0
#define NQ_FILE_VERSION_PATCH 0
#define NQ_FILE_VERSION_BUILD 4021
#define NQ_FILE_VERSION_TEXT "4.00.4021"

#define NQ_FILE_VERSION_BINARY                                         \
  NQ_FILE_VERSION_MAJOR, NQ_FILE_VERSION_MINOR, NQ_FILE_VERSION_PATCH, \
      NQ_FILE_VERSION_BUILD
#define NQ_INTERNAL_NAME "NETQUILL"
#define NQ_ORIGINAL_FILE_NAME "NETQUILL.DLL"

#endif
