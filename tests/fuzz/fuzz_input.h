// Reads a fuzzer's bytes as the values of one call: numbers, choices and
// byte strings, each taken from the front; an exhausted input gives zeros
// and empty strings, so every input is a valid one.
#ifndef NQ_TESTS_FUZZ_FUZZ_INPUT_H
#define NQ_TESTS_FUZZ_FUZZ_INPUT_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

namespace nqfuzz {

class Input {
 public:
  Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}

  uint8_t U8() { return static_cast<uint8_t>(Take(1)); }
  uint16_t U16() { return static_cast<uint16_t>(Take(2)); }
  uint32_t U32() { return static_cast<uint32_t>(Take(4)); }
  uint64_t U64() { return Take(8); }
  bool Bool() { return (U8() & 1) != 0; }

  // A number from 0 to n - 1.
  uint32_t Below(uint32_t n) { return n == 0 ? 0 : U32() % n; }

  // Up to max bytes, their count read first.
  std::vector<uint8_t> Bytes(size_t max) {
    size_t n = Below(static_cast<uint32_t>(max + 1));
    if (n > size_) n = size_;
    std::vector<uint8_t> out(data_, data_ + n);
    data_ += n;
    size_ -= n;
    return out;
  }

  // A C string of up to max characters, without NULs.
  std::string Text(size_t max) {
    std::vector<uint8_t> bytes = Bytes(max);
    std::string out;
    for (uint8_t b : bytes) out += static_cast<char>(b ? b : 'n');
    return out;
  }

  // Whatever is left.
  std::vector<uint8_t> Rest() {
    std::vector<uint8_t> out(data_, data_ + size_);
    data_ += size_;
    size_ = 0;
    return out;
  }

 private:
  uint64_t Take(size_t n) {
    uint64_t value = 0;
    for (size_t i = 0; i < n && size_ > 0; ++i, ++data_, --size_) {
      value |= static_cast<uint64_t>(*data_) << (8 * i);
    }
    return value;
  }

  const uint8_t *data_;
  size_t size_;
};

}  // namespace nqfuzz

#endif
