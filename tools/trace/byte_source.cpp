#include "byte_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "binary_stdio.h"

namespace nqtrace {

FileSource::FileSource(std::FILE *file, bool close_on_destroy)
    : file_(file), owned_(close_on_destroy) {}

FileSource::~FileSource() {
  if (owned_) std::fclose(file_);
}

std::size_t FileSource::Read(char *buf, std::size_t n) {
  return std::fread(buf, 1, n, file_);
}

bool FileSource::Failed() const { return std::ferror(file_) != 0; }

std::size_t StringSource::Read(char *buf, std::size_t n) {
  const std::size_t take = std::min(n, data_.size() - pos_);
  data_.copy(buf, take, pos_);
  pos_ += take;
  return take;
}

std::unique_ptr<ByteSource> OpenTrace(const std::string &name,
                                      std::string &why) {
  if (name == "-") {
    SetBinaryMode(stdin);
    return std::make_unique<FileSource>(stdin, false);
  }
  errno = 0;
  std::FILE *f = std::fopen(name.c_str(), "rb");
  if (f == nullptr) {
    why = errno != 0 ? std::strerror(errno) : "cannot open";
    return nullptr;
  }
  return std::make_unique<FileSource>(f, true);
}

}  // namespace nqtrace
