// The first instructions of a system function, read far enough to move
// them elsewhere: the entry patch of a function puts a jump over them and
// runs them from a trampoline. Only the instructions that compilers put at
// a function's start are known; anything else refuses the function.
#ifndef NQ_DROPIN_NETQUILL_RUN_WIN_INLINE_DECODE_H
#define NQ_DROPIN_NETQUILL_RUN_WIN_INLINE_DECODE_H

#include <stddef.h>
#include <stdint.h>

namespace nqinj {

// Instructions with a 32-bit displacement from their own end (a call or a
// jump, an x64 operand relative to the instruction pointer): a copy must
// have it rebased. The most a prologue of a few instructions holds.
constexpr size_t kMostRelative = 4;

struct Prologue {
  size_t length;  // bytes of whole instructions, at least those asked for
  size_t count;   // displacements in at and end
  size_t at[kMostRelative];   // where the displacement lies
  size_t end[kMostRelative];  // the end of its instruction
};

// Reads whole instructions at code until they cover at least need bytes,
// as 64-bit code when wide; false when one is unknown, or ends the
// function or jumps a short way (a return, a short or conditional jump:
// its copy could not run elsewhere).
bool ReadPrologue(const uint8_t *code, size_t need, bool wide, Prologue *out);

// The length of the one instruction at code, 0 when unknown or refused;
// *relative gets the offset of a displacement from its end, or 0.
size_t InstructionLength(const uint8_t *code, bool wide, size_t *relative);

}  // namespace nqinj

#endif  // NQ_DROPIN_NETQUILL_RUN_WIN_INLINE_DECODE_H
