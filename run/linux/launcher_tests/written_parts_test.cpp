// What both launchers and whoever takes over from them share about the
// launcher's writes: the notes of what it wrote of the records the ring
// still holds, compared record by record with the file, and the text a
// launcher gathers for one file at a time.
#include "written_parts.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "gathered_text.h"

namespace {

using Files = std::map<std::uint32_t, std::string>;

long ReadFrom(void *context, std::uint32_t key, std::uint64_t at, char *out,
              std::size_t n, std::uint64_t *size) {
  const Files &files = *static_cast<const Files *>(context);
  auto file = files.find(key);
  if (file == files.end()) return -1;
  *size = file->second.size();
  if (at >= file->second.size()) return 0;
  const std::string there = file->second.substr(at, n);
  there.copy(out, there.size());
  return static_cast<long>(there.size());
}

struct Note {
  std::uint32_t key;
  std::uint64_t at, bytes;
};

struct Record {
  std::uint32_t key;
  std::string text;
  std::size_t already;  // what Already says the file holds of it
};

// What came after the notes: nothing, the ring giving the room back, or
// more writes than there is room to note.
enum After { kNothing, kReleased, kPastRoom };

TEST(WrittenBefore, TellsWhatTheFileHoldsOfEachRecord) {
  const struct {
    const char *name;
    Files files;
    std::vector<Note> notes;
    After after;
    std::vector<Record> records;
  } kCases[] = {
      {"written whole, then a record not written",
       {{0, "old\nr1\nr2\n"}},
       {{0, 4, 6}},
       kNothing,
       {{0, "r1\n", 3}, {0, "r2\n", 3}, {0, "r3\n", 0}}},
      {"a write cut short with nothing after it: the rest completes it",
       {{0, "old\nr1\nr"}},
       {{0, 4, 4}},
       kNothing,
       {{0, "r1\n", 3}, {0, "r2\n", 1}, {0, "r3\n", 0}}},
      {"cut short, another process appended after it: written again whole",
       {{0, "old\nr1\nrX\n"}},
       {{0, 4, 4}},
       kNothing,
       {{0, "r1\n", 3}, {0, "r2\n", 0}}},
      {"the file holds other bytes: nothing more of that file is expected",
       {{0, "old\nxx\nr2\n"}},
       {{0, 4, 6}},
       kNothing,
       {{0, "r1\n", 0}, {0, "r2\n", 0}}},
      {"files per process, each by its own notes",
       {{7, "a1\n"}, {9, "b1\nb2\n"}},
       {{9, 0, 6}, {7, 0, 3}},
       kNothing,
       {{9, "b1\n", 3}, {7, "a1\n", 3}, {9, "b2\n", 3}, {7, "a2\n", 0}}},
      {"two writes to one file, the second after another's append",
       {{0, "r1\nX\nr2\n"}},
       {{0, 0, 3}, {0, 5, 3}},
       kNothing,
       {{0, "r1\n", 3}, {0, "r2\n", 3}}},
      {"notes from before the ring's latest release: stale",
       {{0, "r1\n"}},
       {{0, 0, 3}},
       kReleased,
       {{0, "r1\n", 0}}},
      {"more writes than room for their notes: every record is written",
       {{0, "r1\n"}},
       {{0, 0, 3}},
       kPastRoom,
       {{0, "r1\n", 0}}},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.name);
    std::vector<char> mem(nqring::RingBytes(4096, 4));
    nqring::Ring ring;
    ASSERT_TRUE(ring.Format(mem.data(), mem.size(), 4096, 4));
    auto share = std::make_unique<nqring::RecordsShare>();
    for (const Note &n : c.notes)
      nqring::NoteWrite(*share, ring, n.key, n.at, n.bytes);
    for (std::uint32_t n = c.notes.size();
         c.after == kPastRoom && n <= nqring::kWrittenParts; ++n)
      EXPECT_EQ(nqring::NoteWrite(*share, ring, 0, 3 + n, 1) == nullptr,
                n == nqring::kWrittenParts);
    if (c.after == kReleased) ring.control()->released.store(8);
    nqring::WrittenBefore before;
    before.Expect(*share, ring);
    Files files = c.files;
    for (const Record &r : c.records)
      EXPECT_EQ(
          before.Already(r.key, r.text.data(), r.text.size(), ReadFrom, &files),
          r.already)
          << r.key << " " << r.text;
  }
}

// The file a test's gathered text goes to: it takes room bytes in all.
struct Sink {
  std::size_t room;
  std::vector<std::pair<std::uint32_t, std::size_t>> writes;

  std::size_t Write(std::uint32_t key, const char *, std::size_t length) {
    writes.emplace_back(key, length);
    const std::size_t appended = length < room ? length : room;
    room -= appended;
    return appended;
  }
};

TEST(GatheredText, WritesEachFilesTextInOnePieceAndCountsWhatItCouldNot) {
  constexpr std::size_t kRoom = 256 * 1024;
  constexpr std::size_t kAll = ~std::size_t{0};
  struct Add {
    std::uint32_t key;
    std::size_t length;
    int times;
  };
  // Each case's records, then a flush.
  const struct {
    const char *name;
    std::vector<Add> adds;
    std::size_t file_room;
    std::vector<std::pair<std::uint32_t, std::size_t>> writes;
    std::uint64_t lost;
  } kCases[] = {
      {"one file: one write", {{0, 10, 1}, {0, 20, 1}}, kAll, {{0, 30}}, 0},
      {"another file: what was gathered goes first",
       {{1, 10, 1}, {2, 5, 1}, {1, 7, 1}},
       kAll,
       {{1, 10}, {2, 5}, {1, 7}},
       0},
      {"the buffer full to the byte, then one more",
       {{0, kRoom - 1, 1}, {0, 1, 2}},
       kAll,
       {{0, kRoom}, {0, 1}},
       0},
      {"larger than the buffer: written at once, after what came before",
       {{0, 3, 1}, {0, kRoom + 1, 1}},
       kAll,
       {{0, 3}, {0, kRoom + 1}},
       0},
      {"more records than it keeps the ends of",
       {{0, 1, 8193}},
       kAll,
       {{0, 8192}, {0, 1}},
       0},
      {"nothing gathered: no write", {}, kAll, {}, 0},
      {"a file that takes nothing: every record lost",
       {{0, 10, 3}},
       0,
       {{0, 30}},
       3},
      {"a write cut short in the second record: it and the third lost",
       {{0, 10, 3}},
       15,
       {{0, 30}},
       2},
      {"cut short at a record's end: the records after it lost",
       {{0, 10, 3}},
       20,
       {{0, 30}},
       1},
      {"a record larger than the buffer, cut short",
       {{0, kRoom + 1, 1}},
       kRoom,
       {{0, kRoom + 1}},
       1},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.name);
    auto gathered = std::make_unique<nqring::GatheredText>();
    Sink file{c.file_room, {}};
    for (const Add &a : c.adds) {
      const std::string text(a.length, 'x');
      for (int i = 0; i < a.times; ++i)
        gathered->Add(a.key, text.data(), text.size(), file);
    }
    gathered->Flush(file);
    EXPECT_EQ(file.writes, c.writes);
    EXPECT_EQ(gathered->lost(), c.lost);
  }
}

}  // namespace
