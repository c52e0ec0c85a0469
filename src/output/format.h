// A small printf for the library's own formats: no locale, no allocation,
// never writes past the buffer.
#ifndef NQ_OUTPUT_FORMAT_H
#define NQ_OUTPUT_FORMAT_H

// A header of the output floor: a file below it must not include it.
#if NQ_FLOOR < 3
#error "src/output/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <stdarg.h>
#include <stddef.h>

#if defined(__clang__)
#define NQ_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#else
#define NQ_PRINTF_LIKE(f, a) __attribute__((format(gnu_printf, f, a)))
#endif

namespace nq {

// Formats into buf (size bytes, terminator included) and returns the number
// of characters stored; longer output is cut at size - 1 characters.
// Conversions: d i u x X s c %, with the flags '0' and '-', a width, and
// the length modifiers h l ll z (size_t, the width of a pointer), and the
// precision ".*" for strings, which bounds how much of the string is read.
// A null string prints as "(null)".
size_t FormatV(char *buf, size_t size, const char *fmt, va_list ap);
size_t Format(char *buf, size_t size, const char *fmt, ...)
    NQ_PRINTF_LIKE(3, 4);

// Text from outside the library (a name from the network, an argument)
// for a trace line: each byte from 0x00 to 0x1F, 0x7F, the double quote
// and a backslash that an x follows as \xHH, in upper-case hex as the
// dumps write bytes, so that no such text can end a line or begin
// another, close its quotes or fake an escape; every other byte as it is.
// Copies at most max bytes of text, up to its NUL, into buf (size bytes,
// terminator included), never part of an escape; returns the characters stored.
size_t PutEscaped(char *buf, size_t size, const char *text, size_t max);

// The same for exactly n bytes at bytes, a NUL among them as \x00: text
// that a length bounds rather than a terminator (a Linux abstract socket
// name).
size_t PutEscapedBytes(char *buf, size_t size, const char *bytes, size_t n);

// The length of the n characters at text less an escape cut at their end:
// for a line cut at its limit.
size_t DropCutEscape(const char *text, size_t n);

}  // namespace nq

#endif
