// The launcher's writes of records it has not yet given back to the ring,
// noted in the share (RecordsShare::written) so that whoever takes over
// from a launcher killed between a write and the release writes what the
// file lacks and nothing twice. The launcher notes each write before it
// makes it and says after where it went; the notes are forgotten once the
// ring's room is given back. The one who takes over reads the notes of the
// records the ring still holds and, record by record, compares them with
// the file.
#ifndef NQ_RUN_COMMON_WRITTEN_PARTS_H
#define NQ_RUN_COMMON_WRITTEN_PARTS_H

#include <cstddef>
#include <cstdint>

#include "records_share.h"

namespace nqring {

// Notes a write of bytes to key's file (the records' process with
// per_process, else 0) that is to go at offset at; the part, for the
// writer to say where it went, or null past the room for them (then every
// record is written again by the one who takes over).
WrittenPart *NoteWrite(RecordsShare &share, const Ring &ring, std::uint32_t key,
                       std::uint64_t at, std::uint64_t bytes);

// Once the ring's room is given back: the notes are of no more use.
void ForgetWrites(RecordsShare &share);

// Reads up to n bytes of key's file from offset at into out, and the
// file's size into *size: the bytes read, or -1 when it cannot be read.
using ReadFileAt = long (*)(void *context, std::uint32_t key, std::uint64_t at,
                            char *out, std::size_t n, std::uint64_t *size);

// What the launcher wrote of the records the ring still holds.
class WrittenBefore {
 public:
  // The notes of the writes since the ring's last release.
  void Expect(const RecordsShare &share, const Ring &ring);

  // How much of a record for key's file, the next in the ring's order, the
  // file already holds where the launcher was to write it: all of it, or
  // the front of it where a write was cut short and nothing follows it
  // (the rest then completes it), or none; from the first record not there
  // whole, nothing more is expected of that file.
  std::size_t Already(std::uint32_t key, const char *text, std::size_t length,
                      ReadFileAt read, void *context);

 private:
  struct Expected {
    std::uint32_t key;
    std::uint64_t at;     // where the next expected byte lies
    std::uint64_t bytes;  // how many are still expected
  };
  Expected expected_[kWrittenParts];
  std::size_t count_ = 0;
};

}  // namespace nqring

#endif  // NQ_RUN_COMMON_WRITTEN_PARTS_H
