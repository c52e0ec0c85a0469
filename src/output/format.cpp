#include "output/format.h"

#include <stdint.h>
#include <string.h>

#include "output/digits.h"

namespace nq {
namespace {

// Output goes through a plain pointer and its limit, both kept in
// registers: the characters stored could alias the fields of a structure
// behind a pointer, which would be read back after every character.
// The texts put here are a few characters long: a plain loop costs less
// than a call of the library's block copy.
char *Put(char *p, char *limit, const char *text, size_t n) {
  size_t room = static_cast<size_t>(limit - p);
  if (n > room) n = room;
  for (char *end = p + n; p < end;) *p++ = *text++;
  return p;
}

char *Repeat(char *p, char *limit, char c, size_t n) {
  size_t room = static_cast<size_t>(limit - p);
  if (n > room) n = room;
  memset(p, c, n);
  return p + n;
}

char *Hexadecimal(uint64_t value, bool upper, char *end) {
  const char *set = upper ? kHexDigits : "0123456789abcdef";
  char *p = end;
  do {
    *--p = set[value & 15];
    value >>= 4;
  } while (value != 0);
  return p;
}

char *Field(char *p, char *limit, const char *text, size_t n, size_t width,
            bool left, char pad) {
  if (width <= n) return Put(p, limit, text, n);  // the usual case
  size_t fill = width - n;
  if (!left) p = Repeat(p, limit, pad, fill);
  p = Put(p, limit, text, n);
  if (left) p = Repeat(p, limit, ' ', fill);
  return p;
}

}  // namespace

// The length of the n characters at text less an escape cut at their end.
size_t DropCutEscape(const char *text, size_t n) {
  for (size_t back = 1; back <= 3 && back <= n; ++back) {
    if (text[n - back] != '\\') continue;
    const char *rest = text + n - back + 1;
    bool cut = back == 1 ||
               (rest[0] == 'x' && (back == 2 || strchr(kHexDigits, rest[1])));
    return cut ? n - back : n;
  }
  return n;
}

size_t FormatV(char *buf, size_t size, const char *fmt, va_list ap) {
  if (buf == nullptr || size == 0) return 0;
  char *p = buf;
  char *const limit = buf + size - 1;  // the terminator's place
  while (*fmt != '\0' && p < limit) {
    if (*fmt != '%') {
      // The literal runs of the library's formats are a few characters
      // long: copied in place, they cost less than a search and a copy.
      do {
        *p++ = *fmt++;
      } while (p < limit && *fmt != '\0' && *fmt != '%');
      continue;
    }
    const char *start = fmt++;
    // The conversions that the call lines are made of, without flags, width
    // or precision, go out at once.
    if (*fmt == 's') {
      const char *s = va_arg(ap, const char *);
      if (s == nullptr) s = "(null)";
      // The texts of the value formatters, a dozen characters and more:
      // the C library's search and block copy go through them by words.
      size_t n = strnlen(s, static_cast<size_t>(limit - p));
      memcpy(p, s, n);
      p += n;
      ++fmt;
      continue;
    }
    if (*fmt == 'd' || (*fmt == 'z' && fmt[1] == 'd')) {
      int64_t v = *fmt == 'd' ? va_arg(ap, int) : va_arg(ap, ptrdiff_t);
      fmt += *fmt == 'd' ? 1 : 2;
      char tmp[24];
      char *end = tmp + sizeof tmp;
      char *digits =
          DecimalBefore(end, v < 0 ? 0 - static_cast<uint64_t>(v) : v);
      if (v < 0) *--digits = '-';
      p = Put(p, limit, digits, static_cast<size_t>(end - digits));
      continue;
    }
    bool left = false, zero = false;
    for (;; ++fmt) {
      if (*fmt == '-')
        left = true;
      else if (*fmt == '0')
        zero = true;
      else
        break;
    }
    size_t width = 0;
    while (*fmt >= '0' && *fmt <= '9') width = width * 10 + (*fmt++ - '0');
    // A precision is taken for strings only, as ".*" from the arguments:
    // at most that many characters are read from the string.
    int precision = -1;
    if (fmt[0] == '.' && fmt[1] == '*') {
      precision = va_arg(ap, int);
      fmt += 2;
    }
    int length = 0;  // 0 int, 1 long, 2 long long, 3 size_t, -1 short
    if (*fmt == 'h') {
      length = -1;
      ++fmt;
    } else if (*fmt == 'z') {
      length = 3;
      ++fmt;
    } else if (*fmt == 'l') {
      length = 1;
      if (*++fmt == 'l') {
        length = 2;
        ++fmt;
      }
    }
    char conv = *fmt;
    if (conv == '\0') {  // a lone % at the end is printed as it stands
      p = Put(p, limit, start, static_cast<size_t>(fmt - start));
      break;
    }
    ++fmt;
    char tmp[24];
    char *end = tmp + sizeof tmp;
    char pad = zero && !left ? '0' : ' ';
    switch (conv) {
      case 'd':
      case 'i': {
        int64_t v;
        if (length == 1)
          v = va_arg(ap, long);
        else if (length == 2)
          v = va_arg(ap, long long);
        else if (length == 3)
          v = va_arg(ap, ptrdiff_t);
        else
          v = va_arg(ap, int);
        if (length == -1) v = static_cast<short>(v);
        uint64_t mag = v < 0 ? 0 - static_cast<uint64_t>(v) : v;
        char *digits = DecimalBefore(end, mag);
        size_t n = static_cast<size_t>(end - digits);
        if (v < 0) {
          // The sign goes before zero padding, as printf puts it.
          if (pad == '0') {
            p = Put(p, limit, "-", 1);
            p = Field(p, limit, digits, n, width > 0 ? width - 1 : 0, left,
                      pad);
            break;
          }
          *--digits = '-';
          ++n;
        }
        p = Field(p, limit, digits, n, width, left, pad);
        break;
      }
      case 'u':
      case 'x':
      case 'X': {
        uint64_t v;
        if (length == 1)
          v = va_arg(ap, unsigned long);
        else if (length == 2)
          v = va_arg(ap, unsigned long long);
        else if (length == 3)
          v = va_arg(ap, size_t);
        else
          v = va_arg(ap, unsigned int);
        if (length == -1) v = static_cast<unsigned short>(v);
        char *digits = conv == 'u' ? DecimalBefore(end, v)
                                   : Hexadecimal(v, conv == 'X', end);
        p = Field(p, limit, digits, static_cast<size_t>(end - digits), width,
                  left, pad);
        break;
      }
      case 's': {
        const char *s = va_arg(ap, const char *);
        if (s == nullptr) s = "(null)";
        size_t n = precision >= 0 ? strnlen(s, static_cast<size_t>(precision))
                                  : strlen(s);
        p = Field(p, limit, s, n, width, left, ' ');
        break;
      }
      case 'c': {
        char c = static_cast<char>(va_arg(ap, int));
        p = Field(p, limit, &c, 1, width, left, ' ');
        break;
      }
      case '%':
        p = Put(p, limit, "%", 1);
        break;
      default:  // unknown: printed as it stands, consuming nothing
        p = Put(p, limit, start, static_cast<size_t>(fmt - start));
        break;
    }
  }
  *p = '\0';
  return static_cast<size_t>(p - buf);
}

namespace {

// The one escape of caller text; to_nul: a NUL ends the text, else it is
// one more byte to escape.
template <bool to_nul>
size_t Escape(char *buf, size_t size, const char *text, size_t max) {
  if (size == 0) return 0;
  size_t n = 0;
  for (size_t i = 0; i < max && (!to_nul || text[i] != '\0'); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    // A quote would close the text's quotes early, and a backslash before
    // an x would read as an escape of the text's own: both are escaped
    // too, so that no text forges an argument, a result or a line. Any
    // other backslash stays as it is (a Windows path reads as one).
    bool escape_of_its_own = c == '\\' && i + 1 < max && text[i + 1] == 'x';
    bool control = c < 0x20 || c == 0x7F || c == '"' || escape_of_its_own;
    if (n + (control ? 4 : 1) > size - 1) break;
    if (control) {
      buf[n++] = '\\';
      buf[n++] = 'x';
      buf[n++] = kHexDigits[c >> 4];
      c = static_cast<unsigned char>(kHexDigits[c & 15]);
    }
    buf[n++] = static_cast<char>(c);
  }
  buf[n] = '\0';
  return n;
}

}  // namespace

size_t PutEscaped(char *buf, size_t size, const char *text, size_t max) {
  return Escape<true>(buf, size, text, max);
}

size_t PutEscapedBytes(char *buf, size_t size, const char *bytes, size_t n) {
  return Escape<false>(buf, size, bytes, n);
}

size_t Format(char *buf, size_t size, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  size_t n = FormatV(buf, size, fmt, ap);
  va_end(ap);
  return n;
}

}  // namespace nq
