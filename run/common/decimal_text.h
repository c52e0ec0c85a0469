// A number's decimal digits, written by hand: the launchers and the entries
// write them where no C library call is safe (a traced call, perhaps in a
// signal handler) or linked (the Windows launcher has no C run-time start).
#ifndef NQ_RUN_COMMON_DECIMAL_TEXT_H
#define NQ_RUN_COMMON_DECIMAL_TEXT_H

namespace nqdrop {

// The most digits DecimalText writes: those of 2^64 - 1.
constexpr int kMostDecimalDigits = 20;

// Writes value's digits, most significant first, to out (room for
// kMostDecimalDigits, no terminating zero): how many.
inline int DecimalText(unsigned long long value, char *out) {
  char reversed[kMostDecimalDigits];
  int count = 0;
  do {
    reversed[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (int i = 0; i < count; ++i) out[i] = reversed[count - 1 - i];
  return count;
}

}  // namespace nqdrop

#endif  // NQ_RUN_COMMON_DECIMAL_TEXT_H
