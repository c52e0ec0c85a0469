// The digit tables of every number the library prints, built once at
// compile time, and the one writer of decimal numbers: numbers go out two
// decimal digits per division, address bytes and dump cells by one lookup
// each.
#ifndef NQ_OUTPUT_DIGITS_H
#define NQ_OUTPUT_DIGITS_H

// A header of the output floor: a file below it must not include it.
#if NQ_FLOOR < 3
#error "src/output/ is above the floor of this file (NQ_FLOOR)"
#endif

#include <stdint.h>
#include <string.h>

namespace nq {

inline constexpr char kHexDigits[] = "0123456789ABCDEF";

struct DigitTables {
  char pair[100][2];  // "00" to "99"
  // Two upper-case hex digits, the separator space and one more space: a
  // dump cell goes out in one four-byte copy and the next cell covers the
  // extra space (after the last cell it is the space before the text).
  char hex_cell[256][4];
  // Every byte value in decimal, for dotted addresses: up to three digits
  // (the rest zero, so four bytes can always be copied) and their count.
  char byte_text[256][4];
  unsigned char byte_length[256];
};

constexpr DigitTables MakeDigitTables() {
  DigitTables t{};
  for (int i = 0; i < 100; ++i) {
    t.pair[i][0] = static_cast<char>('0' + i / 10);
    t.pair[i][1] = static_cast<char>('0' + i % 10);
  }
  for (int b = 0; b < 256; ++b) {
    t.hex_cell[b][0] = kHexDigits[b >> 4];
    t.hex_cell[b][1] = kHexDigits[b & 15];
    t.hex_cell[b][2] = ' ';
    t.hex_cell[b][3] = ' ';
    int n = 0;
    if (b >= 100) t.byte_text[b][n++] = static_cast<char>('0' + b / 100);
    if (b >= 10) t.byte_text[b][n++] = static_cast<char>('0' + b / 10 % 10);
    t.byte_text[b][n++] = static_cast<char>('0' + b % 10);
    t.byte_length[b] = static_cast<unsigned char>(n);
  }
  return t;
}

inline constexpr DigitTables kDigits = MakeDigitTables();

// Writes the decimal digits of value so that they end at end, and returns
// where they start (at most 20 digits). Values that fit 32 bits, all of
// them in practice, stay in 32-bit arithmetic, which the 32-bit build does
// without a library call.
inline char *DecimalBefore(char *end, uint64_t value) {
  char *p = end;
  while (value > UINT32_MAX) {
    p -= 2;
    memcpy(p, kDigits.pair[value % 100], 2);
    value /= 100;
  }
  uint32_t v = static_cast<uint32_t>(value);
  while (v >= 100) {
    p -= 2;
    memcpy(p, kDigits.pair[v % 100], 2);
    v /= 100;
  }
  if (v >= 10) {
    p -= 2;
    memcpy(p, kDigits.pair[v], 2);
  } else {
    *--p = static_cast<char>('0' + v);
  }
  return p;
}

// value in decimal at p; returns the end.
inline char *PutDecimal(char *p, uint64_t value) {
  char tmp[20];
  char *end = tmp + sizeof tmp;
  char *q = DecimalBefore(end, value);
  size_t n = static_cast<size_t>(end - q);
  memcpy(p, q, n);
  return p + n;
}

// The same with zeros in front up to min_digits (at most 20).
inline char *PutDecimal(char *p, uint64_t value, int min_digits) {
  char tmp[20];
  char *end = tmp + sizeof tmp;
  char *q = DecimalBefore(end, value);
  while (end - q < min_digits && q > tmp) *--q = '0';
  size_t n = static_cast<size_t>(end - q);
  memcpy(p, q, n);
  return p + n;
}

// value in signed decimal at p; returns the end.
inline char *PutSigned(char *p, int64_t value) {
  if (value < 0) {
    *p++ = '-';
    return PutDecimal(p, 0 - static_cast<uint64_t>(value));
  }
  return PutDecimal(p, static_cast<uint64_t>(value));
}

}  // namespace nq

#endif
