// Where trace bytes come from: a file, standard input, or memory in tests.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

namespace nqstat {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to n bytes into buf; 0 means end of input or a read error.
  virtual std::size_t read(char *buf, std::size_t n) = 0;
  // True once a read has failed for a reason other than end of input.
  virtual bool failed() const = 0;
};

class FileSource final : public ByteSource {
 public:
  FileSource(std::FILE *file, bool close_on_destroy);
  ~FileSource() override;
  FileSource(const FileSource &) = delete;
  FileSource &operator=(const FileSource &) = delete;

  std::size_t read(char *buf, std::size_t n) override;
  bool failed() const override;

 private:
  std::FILE *file_;
  bool owned_;
};

class StringSource final : public ByteSource {
 public:
  explicit StringSource(std::string data) : data_(std::move(data)) {}
  std::size_t read(char *buf, std::size_t n) override;
  bool failed() const override { return false; }

 private:
  std::string data_;
  std::size_t pos_ = 0;
};

// Opens a trace by name in binary mode; "-" is standard input. On failure
// returns null and puts the system's reason in `why`.
std::unique_ptr<ByteSource> open_trace(const std::string &name,
                                       std::string &why);

}  // namespace nqstat
