// Records handed from traced processes to the launcher through memory they
// share: one ring of bytes that any thread of any traced process appends a
// record to, and that one reader (the launcher) takes records from in the
// order they were reserved, which is the order their calls completed.
//
//   RingControl | WriterSlot x writer_slots | data (data_size bytes)
//
// A writer reserves room with one compare-and-swap on `reserved`, writes
// its record and marks it done; no lock, no system call. A record never
// wraps: one that would is preceded by a skip record to the end of the
// data. Each record starts with an 8-byte header (its state and length)
// and the writer's process and thread ids. What it asks of the system is
// in ring_os.h.
//
// A writer killed half-way (SIGKILL, a crash) must not hold up the records
// after its own: each writing thread owns a slot that says which
// reservation it holds, or that it is reserving, so the reader can tell
// the thread is gone and leave its record out whole, counted in `lost`.
// The reader is the only one to move `released`; it clears every header it
// passes, so that the next lap finds free headers.
#ifndef NQ_RUN_COMMON_RECORD_RING_H
#define NQ_RUN_COMMON_RECORD_RING_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "ring_os.h"

namespace nqring {

// "NQ-RING1" as the bytes of a little-endian word.
constexpr std::uint64_t kRingMagic = 0x31474e49522d514eull;

// A slot's `at` while it holds no reservation, and while it is taking one.
constexpr std::uint64_t kIdle = ~std::uint64_t{0};
constexpr std::uint64_t kReserving = kIdle - 1;

struct WriterSlot {
  std::atomic<std::uint32_t> tid;   // the owning thread; 0: free
  std::atomic<std::uint32_t> pid;   // its process
  std::atomic<std::uint32_t> need;  // bytes of the record it reserves
  std::uint32_t unused;
  std::atomic<std::uint64_t> at;  // kIdle, kReserving, or where it began
};

struct alignas(64) RingControl {
  std::atomic<std::uint64_t> magic;  // stored last by Format
  std::uint32_t data_size;           // a power of two, at least 4 KiB
  std::uint32_t writer_slots;        // threads that can write at once
  alignas(64) std::atomic<std::uint64_t> reserved;  // bytes handed out, ever
  alignas(64) std::atomic<std::uint64_t> released;  // bytes the reader took
  std::atomic<std::uint64_t> lost;  // records left out: writer gone
  // CLOCK_MONOTONIC nanoseconds of the reader's latest pass: writers tell
  // from it that the reader is gone.
  std::atomic<std::int64_t> reader_beat_ns;
  // The process that reads the ring: the launcher, or a traced process
  // that took over from a launcher that is gone.
  std::atomic<std::uint32_t> reader_pid;
  // Set when the reader ends: writers append for themselves from then on.
  std::atomic<std::uint32_t> closed;
  // Where the reader's release in progress goes: past `released` while it
  // clears what it has written, so that a reader taking over from one
  // killed meanwhile finishes the release instead of taking the cleared
  // room for records.
  std::atomic<std::uint64_t> releasing;
};

// The bytes a record of length bytes of text takes in the ring: its header,
// the writer's ids and the text, to a multiple of 8.
std::uint64_t RecordSize(std::uint64_t length);

// The bytes a ring of data_size and writer_slots takes.
std::size_t RingBytes(std::uint32_t data_size, std::uint32_t writer_slots);

// A ring in memory mapped by the caller.
class Ring {
 public:
  // Lays out a new ring in mem (bytes long, zero-filled): false when the
  // sizes do not fit it or data_size is not a power of two of 4 KiB or more.
  bool Format(void *mem, std::size_t bytes, std::uint32_t data_size,
              std::uint32_t writer_slots);
  // Takes a ring another process laid out: false when mem does not hold one
  // of exactly this size.
  bool Open(void *mem, std::size_t bytes);

  RingControl *control() const { return control_; }
  WriterSlot *slots() const { return slots_; }
  char *data() const { return data_; }
  std::uint32_t mask() const { return control_->data_size - 1; }

 private:
  RingControl *control_ = nullptr;
  WriterSlot *slots_ = nullptr;
  char *data_ = nullptr;
};

// A thread's place among the writers; a thread starts with a fresh one,
// and a child process resets the one it inherited.
struct WriterState {
  int slot = -1;
};

enum class PutResult {
  kPut,     // the record is in the ring
  kFull,    // no room until the reader catches up
  kTooBig,  // larger than a quarter of the ring: write it some other way
  kNoSlot,  // every writer slot taken
  kClosed,  // the reader has ended: write it some other way
};

// A record reserved and being written: text points at its length bytes.
struct Reservation {
  char *text = nullptr;
  std::size_t length = 0;
  std::uint64_t position = 0;
};

// Reserves room for length bytes of record text written by (pid, tid);
// the caller fills r.text and then calls Commit.
PutResult Reserve(const Ring &ring, WriterState &w, std::uint32_t pid,
                  std::uint32_t tid, std::size_t length, Reservation &r);
void Commit(const Ring &ring, WriterState &w, const Reservation &r);

// Reserve, copy and Commit.
PutResult Put(const Ring &ring, WriterState &w, std::uint32_t pid,
              std::uint32_t tid, const void *text, std::size_t length);

// Makes pid the ring's reader when it has none, or when the one it has is
// gone (alive, asked after the process, says); false while another reader
// runs.
bool TakeReader(const Ring &ring, std::uint32_t pid,
                bool (*alive)(std::uint32_t pid, std::uint32_t tid));

// Ends the ring's writing: no reservation after this, and every record
// reserved before it finished or its writer gone, waiting at most
// max_wait_ns (false if a writer still runs then). The reader's last
// Drain after it takes every record that will ever be in the ring.
bool CloseRing(const Ring &ring,
               bool (*alive)(std::uint32_t pid, std::uint32_t tid),
               std::int64_t max_wait_ns);

// Whether the reader has made no pass for longer than quiet_ns.
bool ReaderGone(const Ring &ring, std::int64_t now_ns, std::int64_t quiet_ns);

// Whether a writing thread still runs (ThreadRuns, ring_os.h); the
// reader's test, replaceable in tests of it.
using ThreadAlive = bool (*)(std::uint32_t pid, std::uint32_t tid);

// Called with each finished record, in order.
using Emit = void (*)(void *context, std::uint32_t pid, const char *text,
                      std::size_t length);

class RingReader {
 public:
  explicit RingReader(ThreadAlive alive = ThreadRuns) : alive_(alive) {}

  // Hands every finished record at the front to emit, leaves out those of
  // writers that are gone, stops at one still being written. now_ns marks
  // the reader's pass. The room is given back only after flush (when
  // given) has run, once for the pass: a reader killed before it has
  // written what emit gathered leaves those records in the ring for the
  // one that takes its place. The number of records emitted.
  std::size_t Drain(const Ring &ring, Emit emit, void *context,
                    std::int64_t now_ns, void (*flush)(void *) = nullptr);

  // The last reader's: passes of Drain until every record reserved is
  // taken or left out, or no pass has moved for wait_ns (a record still
  // being written, or a reservation not yet found to be a gone writer's,
  // holds up a single pass). now gives the time of each pass.
  void DrainAll(const Ring &ring, Emit emit, void *context,
                std::int64_t (*now)(), void (*flush)(void *),
                std::int64_t wait_ns);

  // Frees the slots of threads that are gone and hold nothing.
  void SweepSlots(const Ring &ring);

  // How long a reservation without its header may stay before a writer
  // found gone while reserving is taken to have held it.
  static constexpr std::int64_t kReserveGraceNs = 100 * 1000 * 1000;

 private:
  bool SkipGoneWriter(const Ring &ring, std::uint64_t at, bool headerless,
                      std::int64_t now_ns, std::uint64_t &next);

  ThreadAlive alive_;
  std::uint64_t headerless_at_ = kIdle;  // a front seen without a header
  std::int64_t headerless_since_ns_ = 0;
};

}  // namespace nqring

#endif  // NQ_RUN_COMMON_RECORD_RING_H
