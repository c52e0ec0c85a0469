#include "record_ring.h"

#include <string.h>

namespace nqring {

namespace {

// The first 8 bytes of every record; a finished or skip record's header
// is what the reader trusts, so it is stored last (release).
struct Header {
  std::atomic<std::uint32_t> state;
  std::uint32_t bytes;  // a record: its text's length; a skip: its size
};
// The writer's ids follow a record's header, then its text.
constexpr std::size_t kRecordHead = 16;

enum State : std::uint32_t { kFree = 0, kWriting = 1, kDone = 2, kSkip = 3 };

constexpr std::uint64_t Align8(std::uint64_t n) { return (n + 7) & ~7ull; }

std::size_t SlotsOffset() { return sizeof(RingControl); }

std::size_t DataOffset(std::uint32_t writer_slots) {
  return (SlotsOffset() + writer_slots * sizeof(WriterSlot) + 63) &
         ~std::size_t{63};
}

// Where a reservation that began at `at` for `need` bytes puts its record:
// at once, or after a skip record to the end of the data.
struct Span {
  std::uint64_t record;
  std::uint64_t end;
};

Span SpanOf(std::uint64_t at, std::uint64_t need, std::uint32_t size) {
  const std::uint64_t off = at & (size - 1);
  const std::uint64_t pad = off + need > size ? size - off : 0;
  return {at + pad, at + pad + need};
}

Header *HeaderAt(const Ring &ring, std::uint64_t position) {
  return reinterpret_cast<Header *>(ring.data() + (position & ring.mask()));
}

// Frees [from, to) for the next lap: a writer finds zeroes, never an old
// header, wherever its record begins.
// A gone writer's reservation may run across the end of the data.
void Clear(const Ring &ring, std::uint64_t from, std::uint64_t to) {
  const std::uint64_t size = std::uint64_t{ring.mask()} + 1;
  while (from < to) {
    const std::uint64_t off = from & ring.mask();
    const std::uint64_t chunk = to - from < size - off ? to - from : size - off;
    memset(ring.data() + off, 0, chunk);
    from += chunk;
  }
}

bool ClaimSlot(const Ring &ring, WriterState &w, std::uint32_t pid,
               std::uint32_t tid) {
  WriterSlot *slots = ring.slots();
  // A child process comes with its parent's place: another thread's.
  if (w.slot >= 0 && slots[w.slot].tid.load(std::memory_order_relaxed) != tid)
    w.slot = -1;
  if (w.slot >= 0) return true;
  const std::uint32_t n = ring.control()->writer_slots;
  for (std::uint32_t i = 0; i < n; ++i) {
    std::uint32_t free_tid = 0;
    if (slots[i].tid.load(std::memory_order_relaxed) != 0 ||
        !slots[i].tid.compare_exchange_strong(free_tid, tid,
                                              std::memory_order_acq_rel))
      continue;
    slots[i].pid.store(pid, std::memory_order_relaxed);
    slots[i].at.store(kIdle, std::memory_order_release);
    w.slot = static_cast<int>(i);
    return true;
  }
  return false;
}

void FreeSlot(WriterSlot &s) {
  s.at.store(kIdle, std::memory_order_relaxed);
  s.tid.store(0, std::memory_order_release);
}

}  // namespace

std::uint64_t RecordSize(std::uint64_t length) {
  return Align8(kRecordHead + length);
}

std::size_t RingBytes(std::uint32_t data_size, std::uint32_t writer_slots) {
  return DataOffset(writer_slots) + data_size;
}

bool Ring::Format(void *mem, std::size_t bytes, std::uint32_t data_size,
                  std::uint32_t writer_slots) {
  if (data_size < 4096 || (data_size & (data_size - 1)) != 0 ||
      writer_slots == 0 || bytes != RingBytes(data_size, writer_slots))
    return false;
  auto *control = static_cast<RingControl *>(mem);
  control->data_size = data_size;
  control->writer_slots = writer_slots;
  control->releasing.store(0, std::memory_order_relaxed);
  auto *slots =
      reinterpret_cast<WriterSlot *>(static_cast<char *>(mem) + SlotsOffset());
  for (std::uint32_t i = 0; i < writer_slots; ++i)
    slots[i].at.store(kIdle, std::memory_order_relaxed);
  // The magic last: a process that opens the ring finds it whole.
  control->magic.store(kRingMagic, std::memory_order_release);
  return Open(mem, bytes);
}

bool Ring::Open(void *mem, std::size_t bytes) {
  auto *control = static_cast<RingControl *>(mem);
  if (mem == nullptr || bytes < sizeof(RingControl) ||
      control->magic.load(std::memory_order_acquire) != kRingMagic)
    return false;
  const std::uint32_t size = control->data_size;
  if (size < 4096 || (size & (size - 1)) != 0 ||
      bytes != RingBytes(size, control->writer_slots))
    return false;
  control_ = control;
  slots_ =
      reinterpret_cast<WriterSlot *>(static_cast<char *>(mem) + SlotsOffset());
  data_ = static_cast<char *>(mem) + DataOffset(control->writer_slots);
  return true;
}

PutResult Reserve(const Ring &ring, WriterState &w, std::uint32_t pid,
                  std::uint32_t tid, std::size_t length, Reservation &r) {
  RingControl *c = ring.control();
  const std::uint64_t need = RecordSize(length);
  if (need > c->data_size / 4) return PutResult::kTooBig;
  if (!ClaimSlot(ring, w, pid, tid)) return PutResult::kNoSlot;
  WriterSlot &s = ring.slots()[w.slot];
  s.need.store(static_cast<std::uint32_t>(need), std::memory_order_relaxed);
  // Said before the look at closed, which CloseRing sets before it looks
  // at the slots: either it waits for this record, or this writer sees
  // the ring closed.
  s.at.store(kReserving, std::memory_order_seq_cst);
  if (c->closed.load(std::memory_order_seq_cst) != 0) {
    s.at.store(kIdle, std::memory_order_release);
    return PutResult::kClosed;
  }
  std::uint64_t at = c->reserved.load(std::memory_order_acquire);
  Span span;
  do {
    span = SpanOf(at, need, c->data_size);
    if (span.end - c->released.load(std::memory_order_acquire) > c->data_size) {
      s.at.store(kIdle, std::memory_order_release);
      return PutResult::kFull;
    }
  } while (!c->reserved.compare_exchange_weak(
      at, span.end, std::memory_order_acq_rel, std::memory_order_acquire));
  s.at.store(at, std::memory_order_release);
  if (span.record != at) {
    Header *skip = HeaderAt(ring, at);
    skip->bytes = static_cast<std::uint32_t>(span.record - at);
    skip->state.store(kSkip, std::memory_order_release);
  }
  Header *h = HeaderAt(ring, span.record);
  h->bytes = static_cast<std::uint32_t>(length);
  auto *ids = reinterpret_cast<std::uint32_t *>(h + 1);
  ids[0] = pid;
  ids[1] = tid;
  h->state.store(kWriting, std::memory_order_release);
  r.text = reinterpret_cast<char *>(h) + kRecordHead;
  r.length = length;
  r.position = span.record;
  return PutResult::kPut;
}

void Commit(const Ring &ring, WriterState &w, const Reservation &r) {
  HeaderAt(ring, r.position)->state.store(kDone, std::memory_order_release);
  ring.slots()[w.slot].at.store(kIdle, std::memory_order_release);
}

PutResult Put(const Ring &ring, WriterState &w, std::uint32_t pid,
              std::uint32_t tid, const void *text, std::size_t length) {
  Reservation r;
  const PutResult result = Reserve(ring, w, pid, tid, length, r);
  if (result != PutResult::kPut) return result;
  memcpy(r.text, text, length);
  Commit(ring, w, r);
  return result;
}

bool TakeReader(const Ring &ring, std::uint32_t pid,
                bool (*alive)(std::uint32_t pid, std::uint32_t tid)) {
  std::atomic<std::uint32_t> &reader = ring.control()->reader_pid;
  std::uint32_t now = reader.load(std::memory_order_acquire);
  for (;;) {
    if (now == pid) return true;
    if (now != 0 && alive(now, now)) return false;
    if (reader.compare_exchange_strong(now, pid, std::memory_order_acq_rel))
      break;
  }
  RingControl *c = ring.control();
  const std::uint64_t from = c->released.load(std::memory_order_acquire);
  const std::uint64_t to = c->releasing.load(std::memory_order_acquire);
  if (to > from) {
    Clear(ring, from, to);
    c->released.store(to, std::memory_order_release);
  }
  return true;
}

bool CloseRing(const Ring &ring,
               bool (*alive)(std::uint32_t pid, std::uint32_t tid),
               std::int64_t max_wait_ns) {
  ring.control()->closed.store(1, std::memory_order_seq_cst);
  const std::int64_t start_ns = MonotonicNs();
  for (;;) {
    bool writing = false;
    for (std::uint32_t i = 0; i < ring.control()->writer_slots; ++i) {
      WriterSlot &s = ring.slots()[i];
      const std::uint32_t tid = s.tid.load(std::memory_order_acquire);
      if (tid != 0 && s.at.load(std::memory_order_seq_cst) != kIdle &&
          alive(s.pid.load(std::memory_order_relaxed), tid))
        writing = true;
    }
    if (!writing) return true;
    if (MonotonicNs() - start_ns >= max_wait_ns) return false;
    PauseBriefly();
  }
}

bool ReaderGone(const Ring &ring, std::int64_t now_ns, std::int64_t quiet_ns) {
  return now_ns -
             ring.control()->reader_beat_ns.load(std::memory_order_acquire) >
         quiet_ns;
}

bool RingReader::SkipGoneWriter(const Ring &ring, std::uint64_t at,
                                bool headerless, std::int64_t now_ns,
                                std::uint64_t &next) {
  RingControl *c = ring.control();
  WriterSlot *slots = ring.slots();
  const std::uint32_t n = c->writer_slots;
  // The slot that holds the reservation beginning, or whose record begins,
  // at `at`.
  for (std::uint32_t i = 0; i < n; ++i) {
    WriterSlot &s = slots[i];
    if (s.tid.load(std::memory_order_acquire) == 0) continue;
    const std::uint64_t began = s.at.load(std::memory_order_acquire);
    if (began == kIdle || began == kReserving) continue;
    const Span span =
        SpanOf(began, s.need.load(std::memory_order_relaxed), c->data_size);
    if (began != at && span.record != at) continue;
    if (alive_(s.pid.load(std::memory_order_relaxed),
               s.tid.load(std::memory_order_relaxed)))
      return false;
    next = span.end;
    FreeSlot(s);
    return true;
  }
  if (!headerless) return false;
  // A reservation taken by a writer that has not said so yet: a running
  // one says so at once; after a while, a writer found gone while it was
  // reserving held it.
  if (headerless_at_ != at) {
    headerless_at_ = at;
    headerless_since_ns_ = now_ns;
    return false;
  }
  if (now_ns - headerless_since_ns_ < kReserveGraceNs) return false;
  WriterSlot *gone = nullptr;
  for (std::uint32_t i = 0; i < n; ++i) {
    WriterSlot &s = slots[i];
    if (s.tid.load(std::memory_order_acquire) == 0 ||
        s.at.load(std::memory_order_acquire) != kReserving ||
        alive_(s.pid.load(std::memory_order_relaxed),
               s.tid.load(std::memory_order_relaxed)))
      continue;
    if (gone != nullptr) return false;  // two: which one is not known
    gone = &s;
  }
  if (gone == nullptr) return false;
  next =
      SpanOf(at, gone->need.load(std::memory_order_relaxed), c->data_size).end;
  FreeSlot(*gone);
  return true;
}

std::size_t RingReader::Drain(const Ring &ring, Emit emit, void *context,
                              std::int64_t now_ns, void (*flush)(void *)) {
  RingControl *c = ring.control();
  c->reader_beat_ns.store(now_ns, std::memory_order_release);
  const std::uint64_t start = c->released.load(std::memory_order_relaxed);
  std::uint64_t at = start;
  const std::uint64_t reserved = c->reserved.load(std::memory_order_acquire);
  std::size_t emitted = 0;
  while (at < reserved) {
    Header *h = HeaderAt(ring, at);
    const std::uint32_t state = h->state.load(std::memory_order_acquire);
    std::uint64_t next = 0;
    if (state == kDone) {
      next = at + RecordSize(h->bytes);
      const auto *ids = reinterpret_cast<const std::uint32_t *>(h + 1);
      emit(context, ids[0], reinterpret_cast<const char *>(h) + kRecordHead,
           h->bytes);
      ++emitted;
    } else if (state == kSkip) {
      next = at + h->bytes;
    } else if (SkipGoneWriter(ring, at, state == kFree, now_ns, next)) {
      c->lost.fetch_add(1, std::memory_order_relaxed);
    } else {
      break;  // being written
    }
    at = next;
  }
  if (at == start) return emitted;
  if (flush != nullptr) flush(context);
  c->releasing.store(at, std::memory_order_release);
  Clear(ring, start, at);
  c->released.store(at, std::memory_order_release);
  return emitted;
}

void RingReader::DrainAll(const Ring &ring, Emit emit, void *context,
                          std::int64_t (*now)(), void (*flush)(void *),
                          std::int64_t wait_ns) {
  RingControl *c = ring.control();
  std::int64_t moved_ns = now();
  for (;;) {
    const std::uint64_t before = c->released.load(std::memory_order_acquire);
    const std::int64_t pass_ns = now();
    Drain(ring, emit, context, pass_ns, flush);
    const std::uint64_t after = c->released.load(std::memory_order_acquire);
    if (after == c->reserved.load(std::memory_order_acquire)) return;
    if (after != before)
      moved_ns = pass_ns;
    else if (pass_ns - moved_ns >= wait_ns)
      return;
    else
      PauseBriefly();
  }
}

void RingReader::SweepSlots(const Ring &ring) {
  WriterSlot *slots = ring.slots();
  for (std::uint32_t i = 0; i < ring.control()->writer_slots; ++i) {
    WriterSlot &s = slots[i];
    const std::uint32_t tid = s.tid.load(std::memory_order_acquire);
    if (tid == 0 || s.at.load(std::memory_order_acquire) != kIdle) continue;
    if (!alive_(s.pid.load(std::memory_order_relaxed), tid)) FreeSlot(s);
  }
}

}  // namespace nqring
