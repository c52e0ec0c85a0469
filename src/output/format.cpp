#include "output/format.h"

#include <stdint.h>
#include <string.h>

namespace nq {
namespace {

struct Sink {
  char *out;
  size_t room;  // characters that still fit before the terminator
  size_t len;

  void Put(char c) {
    if (room == 0) return;
    out[len++] = c;
    --room;
  }

  void Repeat(char c, size_t n) {
    while (n-- > 0 && room > 0) Put(c);
  }

  void Append(const char *s, size_t n) {
    if (n > room) n = room;
    memcpy(out + len, s, n);
    len += n;
    room -= n;
  }
};

// Writes the digits of value in base 10 or 16 into the end of tmp and
// returns where they start.
char *Digits(uint64_t value, unsigned base, bool upper, char *end) {
  const char *set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char *p = end;
  do {
    *--p = set[value % base];
    value /= base;
  } while (value != 0);
  return p;
}

void Field(Sink *sink, const char *text, size_t n, size_t width, bool left,
           char pad) {
  size_t fill = width > n ? width - n : 0;
  if (!left) sink->Repeat(pad, fill);
  sink->Append(text, n);
  if (left) sink->Repeat(' ', fill);
}

}  // namespace

size_t FormatV(char *buf, size_t size, const char *fmt, va_list ap) {
  if (buf == nullptr || size == 0) return 0;
  Sink sink{buf, size - 1, 0};
  while (*fmt != '\0' && sink.room > 0) {
    if (*fmt != '%') {
      const char *next = strchr(fmt, '%');
      size_t n = next ? static_cast<size_t>(next - fmt) : strlen(fmt);
      sink.Append(fmt, n);
      fmt += n;
      continue;
    }
    const char *start = fmt++;
    bool left = false, zero = false;
    for (;; ++fmt) {
      if (*fmt == '-') left = true;
      else if (*fmt == '0') zero = true;
      else break;
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
    if (*fmt == 'h') { length = -1; ++fmt; }
    else if (*fmt == 'z') { length = 3; ++fmt; }
    else if (*fmt == 'l') {
      length = 1;
      if (*++fmt == 'l') { length = 2; ++fmt; }
    }
    char conv = *fmt;
    if (conv == '\0') {  // a lone % at the end is printed as it stands
      sink.Append(start, static_cast<size_t>(fmt - start));
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
        if (length == 1) v = va_arg(ap, long);
        else if (length == 2) v = va_arg(ap, long long);
        else if (length == 3) v = va_arg(ap, ptrdiff_t);
        else v = va_arg(ap, int);
        if (length == -1) v = static_cast<short>(v);
        uint64_t mag = v < 0 ? 0 - static_cast<uint64_t>(v) : v;
        char *p = Digits(mag, 10, false, end);
        size_t n = static_cast<size_t>(end - p);
        if (v < 0) {
          // The sign goes before zero padding, as printf puts it.
          if (pad == '0') {
            sink.Put('-');
            Field(&sink, p, n, width > 0 ? width - 1 : 0, left, pad);
            break;
          }
          *--p = '-';
          ++n;
        }
        Field(&sink, p, n, width, left, pad);
        break;
      }
      case 'u':
      case 'x':
      case 'X': {
        uint64_t v;
        if (length == 1) v = va_arg(ap, unsigned long);
        else if (length == 2) v = va_arg(ap, unsigned long long);
        else if (length == 3) v = va_arg(ap, size_t);
        else v = va_arg(ap, unsigned int);
        if (length == -1) v = static_cast<unsigned short>(v);
        char *p = Digits(v, conv == 'u' ? 10 : 16, conv == 'X', end);
        Field(&sink, p, static_cast<size_t>(end - p), width, left, pad);
        break;
      }
      case 's': {
        const char *s = va_arg(ap, const char *);
        if (s == nullptr) s = "(null)";
        size_t n = precision >= 0 ? strnlen(s, static_cast<size_t>(precision))
                                  : strlen(s);
        Field(&sink, s, n, width, left, ' ');
        break;
      }
      case 'c': {
        char c = static_cast<char>(va_arg(ap, int));
        Field(&sink, &c, 1, width, left, ' ');
        break;
      }
      case '%':
        sink.Put('%');
        break;
      default:  // unknown: printed as it stands, consuming nothing
        sink.Append(start, static_cast<size_t>(fmt - start));
        break;
    }
  }
  buf[sink.len] = '\0';
  return sink.len;
}

size_t Format(char *buf, size_t size, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  size_t n = FormatV(buf, size, fmt, ap);
  va_end(ap);
  return n;
}

}  // namespace nq
