// Where trace bytes come from: a file, standard input, or memory in tests.
#ifndef NQ_TOOLS_TRACE_BYTE_SOURCE_H
#define NQ_TOOLS_TRACE_BYTE_SOURCE_H

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

namespace nqtrace {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to n bytes into buf; 0 means end of input or a read error.
  virtual std::size_t Read(char *buf, std::size_t n) = 0;
  // True once a read has failed for a reason other than end of input.
  virtual bool Failed() const = 0;
};

class FileSource final : public ByteSource {
 public:
  FileSource(std::FILE *file, bool close_on_destroy);
  ~FileSource() override;
  FileSource(const FileSource &) = delete;
  FileSource &operator=(const FileSource &) = delete;

  std::size_t Read(char *buf, std::size_t n) override;
  bool Failed() const override;

 private:
  std::FILE *file_;
  bool owned_;
};

class StringSource final : public ByteSource {
 public:
  explicit StringSource(std::string data) : data_(std::move(data)) {}
  std::size_t Read(char *buf, std::size_t n) override;
  bool Failed() const override { return false; }

 private:
  std::string data_;
  std::size_t pos_ = 0;
};

// Opens a trace by name in binary mode; "-" is standard input. On failure
// returns null and puts the system's reason in `why`.
std::unique_ptr<ByteSource> OpenTrace(const std::string &name,
                                      std::string &why);

}  // namespace nqtrace

#endif  // NQ_TOOLS_TRACE_BYTE_SOURCE_H
