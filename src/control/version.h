/* The library's version, in one place: the code, the banners and the
 * Windows version resource all read it from here. */
#ifndef NQ_CONTROL_VERSION_H
#define NQ_CONTROL_VERSION_H

/* What DllGetVersion and the start banner report. */
#define NQ_VERSION_MAJOR 4
#define NQ_VERSION_MINOR 0
#define NQ_VERSION_BUILD 4000
#define NQ_VERSION_PLATFORM 1 /* built for all Windows platforms */

/* What the file's version resource carries. */
#define NQ_FILE_VERSION_BINARY 4, 0, 0, 4021
#define NQ_FILE_VERSION_TEXT "4.00.4021"
#define NQ_INTERNAL_NAME "NETQUILL"
#define NQ_ORIGINAL_FILE_NAME "NETQUILL.DLL"

#endif
