// The digit tables of every number the library prints, built once at
// compile time: numbers go out two decimal digits per division, address
// bytes and dump cells by one lookup each.
#ifndef NQ_OUTPUT_DIGITS_H
#define NQ_OUTPUT_DIGITS_H

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

}  // namespace nq

#endif
