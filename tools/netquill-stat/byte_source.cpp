#include "byte_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace nqstat {

FileSource::FileSource(std::FILE *file, bool close_on_destroy)
    : file_(file), owned_(close_on_destroy) {}

FileSource::~FileSource() {
  if (owned_) std::fclose(file_);
}

std::size_t FileSource::read(char *buf, std::size_t n) {
  return std::fread(buf, 1, n, file_);
}

bool FileSource::failed() const { return std::ferror(file_) != 0; }

std::size_t StringSource::read(char *buf, std::size_t n) {
  const std::size_t take = std::min(n, data_.size() - pos_);
  data_.copy(buf, take, pos_);
  pos_ += take;
  return take;
}

std::unique_ptr<ByteSource> open_trace(const std::string &name,
                                       std::string &why) {
  if (name == "-") {
#ifdef _WIN32
    // In text mode the C runtime drops CRs and stops at a 0x1A byte,
    // which would hide line endings and cut corrupt traces short.
    _setmode(_fileno(stdin), _O_BINARY);
#endif
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

}  // namespace nqstat
