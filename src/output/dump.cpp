// Dump records: 16 bytes a line as offset, hex cells and characters. Each
// chunk of lines is composed in full and goes out in one append.
#include "output/dump.h"

#include <stdint.h>
#include <string.h>

// Full dump lines take a vector path on x86 processors that have SSSE3,
// chosen when the library is loaded; elsewhere, and on older processors,
// they are built from tables.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define NQ_VECTOR_DUMP 1
#include <tmmintrin.h>
#else
#define NQ_VECTOR_DUMP 0
#endif

#include "output/digits.h"
#include "output/format.h"
#include "output/sink.h"
#include "platform/os.h"

namespace nq {
namespace {

// Text of one dump append at most: some 3 MiB of data. A larger dump goes
// out in appends of this size each.
constexpr size_t kDumpAppendMax = 16u << 20;
// Record buffers up to this size are kept with the context for the next
// record (a dump of 64 KiB of data takes some 340 KiB); larger ones are
// taken from the heap for the one record and given back.
constexpr size_t kKeptScratch = 1u << 20;
constexpr size_t kDumpBytesPerLine = 16;
// Longest dump line after its indentation: an eight-digit offset, two
// spaces, 48 hex cells, a space, 16 characters, CR LF.
constexpr size_t kDumpLineMax = 8 + 2 + 48 + 1 + 16 + 2;

// The shown character of every byte value: the byte itself from 0x20 to
// 0x7E, else '.'.
struct ShownBytes {
  char shown[256];
};

constexpr ShownBytes MakeShownBytes() {
  ShownBytes t{};
  for (int b = 0; b < 256; ++b) {
    t.shown[b] = (b >= 0x20 && b <= 0x7E) ? static_cast<char>(b) : '.';
  }
  return t;
}

constexpr ShownBytes kShown = MakeShownBytes();

char *PutOffset(char *p, uint32_t offset) {
  if (offset <= 0xFFFF) {  // every line of a dump's first 64 KiB
    memcpy(p, kDigits.hex_cell[offset >> 8], 2);
    memcpy(p + 2, kDigits.hex_cell[offset & 0xFF], 2);
    memcpy(p + 4, "  ", 2);
    return p + 6;
  }
  int digits = 5;
  while (digits < 8 && (offset >> (4 * digits)) != 0) ++digits;
  for (int i = digits - 1; i >= 0; --i)
    *p++ = kHexDigits[(offset >> (4 * i)) & 15];
  *p++ = ' ';
  *p++ = ' ';
  return p;
}

// The character column of eight bytes at once: each byte from 0x20 to 0x7E
// stays, every other one becomes '.'.
uint64_t ShownEight(uint64_t x) {
  const uint64_t low7 = 0x7F7F7F7F7F7F7F7FULL;
  const uint64_t high = 0x8080808080808080ULL;
  uint64_t seven = x & low7;
  uint64_t from_space = (seven + 0x6060606060606060ULL) & high;  // >= 0x20
  uint64_t is_delete = (seven + 0x0101010101010101ULL) & high;   // == 0x7F
  uint64_t shown = from_space & ~is_delete & ~x & high;          // < 0x80
  uint64_t mask = (shown >> 7) * 0xFF;
  return (x & mask) | (0x2E2E2E2E2E2E2E2EULL & ~mask);
}

// Spaces for the indentation, eight at a time: the few written past it
// are covered by the offset that follows.
char *PutIndent(char *p, size_t indent) {
  for (size_t k = 0; k < indent; k += 8) memcpy(p + k, "        ", 8);
  return p + indent;
}

// A full dump line of 16 bytes at offset, after the indentation: the line
// that large dumps are made of, built from the tables and eight bytes at a
// time, without a branch per byte.
char *PutFullDumpLine(char *p, const unsigned char *bytes, uint32_t offset) {
  p = PutOffset(p, offset);
  for (size_t j = 0; j < kDumpBytesPerLine; j += 8) {  // unrolled by eight
    memcpy(p + 3 * j, kDigits.hex_cell[bytes[j]], 4);
    memcpy(p + 3 * j + 3, kDigits.hex_cell[bytes[j + 1]], 4);
    memcpy(p + 3 * j + 6, kDigits.hex_cell[bytes[j + 2]], 4);
    memcpy(p + 3 * j + 9, kDigits.hex_cell[bytes[j + 3]], 4);
    memcpy(p + 3 * j + 12, kDigits.hex_cell[bytes[j + 4]], 4);
    memcpy(p + 3 * j + 15, kDigits.hex_cell[bytes[j + 5]], 4);
    memcpy(p + 3 * j + 18, kDigits.hex_cell[bytes[j + 6]], 4);
    memcpy(p + 3 * j + 21, kDigits.hex_cell[bytes[j + 7]], 4);
  }
  p[3 * 7 + 2] = ':';
  p += 3 * kDumpBytesPerLine + 1;
  for (size_t half = 0; half < kDumpBytesPerLine; half += 8) {
    uint64_t eight;
    memcpy(&eight, bytes + half, 8);
    eight = ShownEight(eight);
    memcpy(p + half, &eight, 8);
  }
  p[kDumpBytesPerLine] = '\r';
  p[kDumpBytesPerLine + 1] = '\n';
  return p + kDumpBytesPerLine + 2;
}

// count full lines of the bytes at offset, each after its indentation.
char *PutFullDumpLines(char *p, const unsigned char *bytes, uint32_t offset,
                       size_t count, size_t indent) {
  for (size_t line = 0; line < count; ++line) {
    p = PutFullDumpLine(PutIndent(p, indent), bytes, offset);
    bytes += kDumpBytesPerLine;
    offset += kDumpBytesPerLine;
  }
  return p;
}

#if NQ_VECTOR_DUMP
// The same lines with SSSE3 byte shuffles, which turn the 16 bytes into
// their 48 hex cells and 16 characters in a few instructions: the tables
// above take some eighty per line, as long as the file append of a 64 KiB
// dump needs for its bytes.
__attribute__((target("ssse3"))) char *PutFullDumpLinesVector(
    char *p, const unsigned char *bytes, uint32_t offset, size_t count,
    size_t indent) {
  const char z = static_cast<char>(0x80);  // a shuffle index that gives 0
  const __m128i nibble = _mm_set1_epi8(0x0F);
  const __m128i digits = _mm_setr_epi8('0', '1', '2', '3', '4', '5', '6', '7',
                                       '8', '9', 'A', 'B', 'C', 'D', 'E', 'F');
  // Where each output byte of the hex area comes from in the digit pairs of
  // bytes 0 to 7 (pairs0) and 8 to 15 (pairs1); the separators are ORed in.
  const __m128i take0 =
      _mm_setr_epi8(0, 1, z, 2, 3, z, 4, 5, z, 6, 7, z, 8, 9, z, 10);
  const __m128i take1a =
      _mm_setr_epi8(11, z, 12, 13, z, 14, 15, z, z, z, z, z, z, z, z, z);
  const __m128i take1b =
      _mm_setr_epi8(z, z, z, z, z, z, z, z, 0, 1, z, 2, 3, z, 4, 5);
  const __m128i take2 =
      _mm_setr_epi8(z, 6, 7, z, 8, 9, z, 10, 11, z, 12, 13, z, 14, 15, z);
  const __m128i gaps0 =
      _mm_setr_epi8(0, 0, ' ', 0, 0, ' ', 0, 0, ' ', 0, 0, ' ', 0, 0, ' ', 0);
  const __m128i gaps1 =
      _mm_setr_epi8(0, ' ', 0, 0, ' ', 0, 0, ':', 0, 0, ' ', 0, 0, ' ', 0, 0);
  const __m128i gaps2 =
      _mm_setr_epi8(' ', 0, 0, ' ', 0, 0, ' ', 0, 0, ' ', 0, 0, ' ', 0, 0, ' ');
  const __m128i below_space = _mm_set1_epi8(0x1F);
  const __m128i del = _mm_set1_epi8(0x7F);
  const __m128i dot = _mm_set1_epi8('.');
  for (size_t line = 0; line < count; ++line) {
    p = PutOffset(PutIndent(p, indent), offset);
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes));
    __m128i high =
        _mm_shuffle_epi8(digits, _mm_and_si128(_mm_srli_epi16(x, 4), nibble));
    __m128i low = _mm_shuffle_epi8(digits, _mm_and_si128(x, nibble));
    __m128i pairs0 = _mm_unpacklo_epi8(high, low);
    __m128i pairs1 = _mm_unpackhi_epi8(high, low);
    __m128i out0 = _mm_or_si128(_mm_shuffle_epi8(pairs0, take0), gaps0);
    __m128i out1 = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(pairs0, take1a),
                                             _mm_shuffle_epi8(pairs1, take1b)),
                                gaps1);
    __m128i out2 = _mm_or_si128(_mm_shuffle_epi8(pairs1, take2), gaps2);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p), out0);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p + 16), out1);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p + 32), out2);
    p[48] = ' ';
    // Signed compares: bytes from 0x80 up are negative and fail the first.
    __m128i shown =
        _mm_and_si128(_mm_cmpgt_epi8(x, below_space), _mm_cmplt_epi8(x, del));
    __m128i text =
        _mm_or_si128(_mm_and_si128(shown, x), _mm_andnot_si128(shown, dot));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p + 49), text);
    p[65] = '\r';
    p[66] = '\n';
    p += 67;
    bytes += kDumpBytesPerLine;
    offset += kDumpBytesPerLine;
  }
  return p;
}

bool CpuHasVectorDump() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("ssse3");
}
#else
char *PutFullDumpLinesVector(char *p, const unsigned char *bytes,
                             uint32_t offset, size_t count, size_t indent) {
  return PutFullDumpLines(p, bytes, offset, count, indent);
}

bool CpuHasVectorDump() { return false; }
#endif

// Decided once, when the library is attached (not by a static
// initializer: the Windows DLL runs none); only the tests change it later.
bool g_vector_dump = false;

// The last line of a dump, of n (1 to 15) bytes, after the indentation.
char *PutShortDumpLine(char *p, const unsigned char *bytes, size_t n,
                       uint32_t offset) {
  p = PutOffset(p, offset);
  for (size_t j = 0; j < kDumpBytesPerLine; ++j) {
    if (j < n) {
      memcpy(p, kDigits.hex_cell[bytes[j]], 3);
      if (j == 7) p[2] = ':';
    } else {
      memcpy(p, "   ", 3);
    }
    p += 3;
  }
  *p++ = ' ';
  for (size_t j = 0; j < n; ++j) *p++ = kShown.shown[bytes[j]];
  *p++ = '\r';
  *p++ = '\n';
  return p;
}

}  // namespace

void UseTableDump(bool tables) {
  g_vector_dump = !tables && CpuHasVectorDump();
}

namespace {

// Where a dump stands in its pieces: the next byte to show.
struct PieceCursor {
  const DumpPiece *piece;
  const DumpPiece *end;
  size_t at;  // bytes of *piece already shown

  // Bytes left in the current piece, after skipping emptied ones.
  size_t Ready() {
    while (piece != end && at >= piece->size) {
      ++piece;
      at = 0;
    }
    return piece == end ? 0 : piece->size - at;
  }
  const unsigned char *Bytes() const {
    return static_cast<const unsigned char *>(piece->data) + at;
  }
  // Copies n bytes, across pieces, into out.
  void Take(unsigned char *out, size_t n) {
    while (n > 0 && Ready() > 0) {
      size_t k = Ready() < n ? Ready() : n;
      memcpy(out, Bytes(), k);
      out += k;
      at += k;
      n -= k;
    }
  }
};

// Lines for chunk bytes from the cursor at offset: full lines straight
// from a piece where it holds them, a line that spans pieces through a
// copy of its 16 bytes.
char *PutChunkLines(char *p, PieceCursor *cursor, uint32_t offset, size_t chunk,
                    size_t indent) {
  while (chunk >= kDumpBytesPerLine) {
    size_t ready = cursor->Ready();
    size_t lines = (ready < chunk ? ready : chunk) / kDumpBytesPerLine;
    if (lines == 0) {
      unsigned char line[kDumpBytesPerLine];
      cursor->Take(line, kDumpBytesPerLine);
      p = PutFullDumpLines(p, line, offset, 1, indent);
      lines = 1;
    } else {
      p = (g_vector_dump ? PutFullDumpLinesVector : PutFullDumpLines)(
          p, cursor->Bytes(), offset, lines, indent);
      cursor->at += lines * kDumpBytesPerLine;
    }
    offset += static_cast<uint32_t>(lines * kDumpBytesPerLine);
    chunk -= lines * kDumpBytesPerLine;
  }
  if (chunk != 0) {
    unsigned char line[kDumpBytesPerLine];
    cursor->Take(line, chunk);
    p = PutShortDumpLine(PutIndent(p, indent), line, chunk, offset);
  }
  return p;
}

// The line that ends a cut dump: "... 4096 more bytes", the bytes moved
// that the dump leaves out, in decimal.
char *PutCutLine(char *p, size_t rest) {
  return p + Format(p, kDumpLineMax, "... %zu more bytes\r\n", rest);
}

}  // namespace

int WriteDump(TraceContext *ctx, const unsigned char *data, size_t length,
              const char *head, size_t head_size) {
  DumpPiece piece = {data, length};
  return WriteDumpPieces(ctx, &piece, 1, length, head, head_size);
}

int WriteDumpPieces(TraceContext *ctx, const DumpPiece *pieces, size_t count,
                    size_t length, const char *head, size_t head_size) {
  // An empty dump still opens and closes the file, as any record does.
  if (length == 0) return AppendRecord(ctx, head ? head : "", head_size);
  size_t indent = strlen(ctx->module_name) + 1;
  size_t line_max = indent + kDumpLineMax;
  size_t piece = kDumpAppendMax / line_max * kDumpBytesPerLine;
  // A cut dump shows the first bytes, then one line that counts the rest.
  size_t shown = length;
  if (ctx->dump_limit != 0 && ctx->dump_limit < length) shown = ctx->dump_limit;
  PieceCursor cursor = {pieces, pieces + count, 0};
  size_t offset = 0;
  while (offset < shown) {
    size_t chunk = shown - offset < piece ? shown - offset : piece;
    size_t lines = (chunk + kDumpBytesPerLine - 1) / kDumpBytesPerLine;
    size_t need = head_size + (lines + 1) * line_max;
    char stack[kSmallHandlerStacks ? 1 : kStackRecord];
    char *own = nullptr;  // a buffer for this record alone
    char *out = stack;
    // A line composed in the scratch buffer already stands where it goes.
    bool head_in_place = head_size != 0 && head == ctx->scratch;
    if (need > kKeptScratch) {
      out = own = static_cast<char *>(g_os.alloc(need));
      head_in_place = false;
    } else if (kSmallHandlerStacks || need > sizeof stack) {
      out = ContextScratch(ctx, need, head_in_place ? head_size : 0);
    } else {
      head_in_place = false;
    }
    if (out == nullptr) {
      // No room for the dump: the call line still goes out alone.
      if (head_size != 0) AppendRecord(ctx, head, head_size);
      return 0;
    }
    char *p = out;
    if (head_size != 0 && !head_in_place) memcpy(p, head, head_size);
    p += head_size;
    head_size = 0;  // the head goes with the first piece only
    p = PutChunkLines(p, &cursor, static_cast<uint32_t>(offset), chunk, indent);
    offset += chunk;
    if (offset == shown && shown < length)
      p = PutCutLine(PutIndent(p, indent), length - shown);
    int written = AppendRecord(ctx, out, static_cast<size_t>(p - out));
    g_os.release(own);
    if (!written) return 0;
  }
  return 1;
}

}  // namespace nq
