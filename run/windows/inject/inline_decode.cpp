// The lengths of the instructions a function's first bytes hold: prefixes,
// an x64 REX byte, the opcode, its ModRM operand (with SIB byte and
// displacement) and its immediate. The opcodes known are those of
// prologues: pushes and pops, moves, the arithmetic and logic group, lea,
// tests, the multi-byte nops, a call or jump with a 32-bit displacement.
#include "inline_decode.h"

namespace nqinj {
namespace {

bool IsPrefix(uint8_t b) {
  switch (b) {
    case 0x66:  // operand size
    case 0xF2:
    case 0xF3:
    case 0xF0:  // lock
    case 0x26:
    case 0x2E:
    case 0x36:
    case 0x3E:
    case 0x64:
    case 0x65:
      return true;
    default:
      return false;
  }
}

// The bytes of a ModRM operand at p: the ModRM byte, a SIB byte, a
// displacement. *rip: an x64 operand relative to the instruction's end.
size_t OperandLength(const uint8_t *p, bool wide, bool *rip) {
  uint8_t mod = p[0] >> 6, rm = p[0] & 7;
  *rip = false;
  if (mod == 3) return 1;
  size_t n = 1;
  if (rm == 4) {
    n = 2;
    if (mod == 0 && (p[1] & 7) == 5) return n + 4;  // no base: disp32
  } else if (mod == 0 && rm == 5) {
    *rip = wide;  // 32-bit code: an absolute address
    return n + 4;
  }
  return n + (mod == 1 ? 1 : mod == 2 ? 4 : 0);
}

// Of the two-byte opcodes (0F xx), those with a ModRM operand and no
// immediate: nop, cmov, imul, movzx and movsx, and the moves and logic of
// SSE registers a prologue saves or clears.
bool TwoByteWithOperand(uint8_t op) {
  if (op >= 0x40 && op <= 0x4F) return true;  // cmovcc
  switch (op) {
    case 0x1F:
    case 0xAF:
    case 0xB6:
    case 0xB7:
    case 0xBE:
    case 0xBF:
    case 0x10:
    case 0x11:
    case 0x28:
    case 0x29:
    case 0x57:
    case 0x6E:
    case 0x6F:
    case 0x7E:
    case 0x7F:
    case 0xD6:
    case 0xEF:
      return true;
    default:
      return false;
  }
}

}  // namespace

size_t InstructionLength(const uint8_t *code, bool wide, size_t *relative) {
  const uint8_t *p = code;
  bool word = false;
  *relative = 0;
  for (; IsPrefix(*p); ++p) {
    if (p - code == 4) return 0;
    word |= *p == 0x66;
  }
  bool rex_w = false;
  if (wide && (*p & 0xF0) == 0x40) rex_w = (*p++ & 8) != 0;
  uint8_t op = *p++;
  size_t full = word ? 2 : 4;  // an immediate of the operand's size
  size_t immediate = 0;
  bool operand = false;
  if (op == 0x0F) {
    if (!TwoByteWithOperand(*p++)) return 0;
    operand = true;
  } else if (op < 0x40) {  // add, or, adc, sbb, and, sub, xor, cmp
    uint8_t form = op & 7;
    if (form < 4)
      operand = true;
    else if (form == 4)
      immediate = 1;
    else if (form == 5)
      immediate = full;
    else
      return 0;
  } else if (op >= 0x40 && op <= 0x4F) {  // inc, dec: 32-bit code only
  } else if (op >= 0x50 && op <= 0x5F) {  // push, pop
  } else if (op == 0x63 && wide) {        // movsxd
    operand = true;
  } else if (op == 0x68) {
    immediate = full;
  } else if (op == 0x6A) {
    immediate = 1;
  } else if (op == 0x69 || op == 0x81 || op == 0xC7) {
    operand = true;
    immediate = full;
  } else if (op == 0x6B || op == 0x80 || op == 0x83 || op == 0xC0 ||
             op == 0xC1 || op == 0xC6) {
    operand = true;
    immediate = 1;
  } else if ((op >= 0x84 && op <= 0x8B) || op == 0x8D || op == 0xD1 ||
             op == 0xD3 || op == 0xFF) {
    operand = true;
  } else if (op == 0xF6 || op == 0xF7) {  // test takes an immediate
    operand = true;
    if (((*p >> 3) & 7) < 2) immediate = op == 0xF6 ? 1 : full;
  } else if (op == 0x90) {
  } else if (op == 0xA8 || (op >= 0xB0 && op <= 0xB7)) {
    immediate = 1;
  } else if (op == 0xA9) {
    immediate = full;
  } else if (op >= 0xB8 && op <= 0xBF) {
    immediate = rex_w ? 8 : full;
  } else if ((op == 0xE8 || op == 0xE9) && !word) {
    *relative = static_cast<size_t>(p - code);
    immediate = 4;
  } else {
    return 0;  // a return, a short jump, or not known
  }
  if (operand) {
    bool rip;
    size_t n = OperandLength(p, wide, &rip);
    if (rip) *relative = static_cast<size_t>(p - code) + 1;
    p += n;
  }
  return static_cast<size_t>(p - code) + immediate;
}

bool ReadPrologue(const uint8_t *code, size_t need, bool wide, Prologue *out) {
  out->length = out->count = 0;
  while (out->length < need) {
    size_t relative;
    size_t n = InstructionLength(code + out->length, wide, &relative);
    if (n == 0) return false;
    if (relative != 0) {
      if (out->count == kMostRelative) return false;
      out->at[out->count] = out->length + relative;
      out->end[out->count++] = out->length + n;
    }
    out->length += n;
  }
  return true;
}

}  // namespace nqinj
