// The reader of a system function's first instructions, which netquill-run's
// entry-point patch moves into a trampoline: lengths, the displacements a
// copy must rebase, and the instructions it refuses to move.
#include <gtest/gtest.h>

#include <vector>

#include "../run/windows/inject/inline_decode.h"

namespace {

struct Case {
  const char *what;
  bool wide;
  std::vector<uint8_t> code;
  size_t length;    // 0: refused
  size_t relative;  // where a displacement from the end lies, or 0
};

const Case kInstructions[] = {
    {"push rbp", true, {0x55}, 1, 0},
    {"push r12", true, {0x41, 0x54}, 2, 0},
    {"sub rsp, 0x78", true, {0x48, 0x83, 0xEC, 0x78}, 4, 0},
    {"sub rsp, 0x1000", true, {0x48, 0x81, 0xEC, 0, 0x10, 0, 0}, 7, 0},
    {"lea rax, [rsp+0x5c]", true, {0x48, 0x8D, 0x44, 0x24, 0x5C}, 5, 0},
    {"mov rax, [rsp+0x90]",
     true,
     {0x48, 0x8B, 0x84, 0x24, 0x90, 0, 0, 0},
     8,
     0},
    {"mov [rsp+8], rbx", true, {0x48, 0x89, 0x5C, 0x24, 0x08}, 5, 0},
    {"mov rax, [rip+d]", true, {0x48, 0x8B, 0x05, 1, 2, 3, 4}, 7, 3},
    {"test byte [rip+d], 8", true, {0xF6, 0x05, 1, 2, 3, 4, 0x08}, 7, 2},
    {"mov r9d, 4", true, {0x41, 0xB9, 4, 0, 0, 0}, 6, 0},
    {"mov rax, imm64", true, {0x48, 0xB8, 1, 2, 3, 4, 5, 6, 7, 8}, 10, 0},
    {"mov dword [rsp+0x28], 4",
     true,
     {0xC7, 0x44, 0x24, 0x28, 4, 0, 0, 0},
     8,
     0},
    {"nop word [rax+rax]", true, {0x66, 0x0F, 0x1F, 0x44, 0, 0}, 6, 0},
    {"mov rax, gs:[0x30]",
     true,
     {0x65, 0x48, 0x8B, 0x04, 0x25, 0x30, 0, 0, 0},
     9,
     0},
    {"call rel32", true, {0xE8, 1, 2, 3, 4}, 5, 1},
    {"jmp [rip+d]", true, {0xFF, 0x25, 1, 2, 3, 4}, 6, 2},
    {"mov edi, edi", false, {0x8B, 0xFF}, 2, 0},
    {"push ebp", false, {0x55}, 1, 0},
    {"lea ecx, [esp+4]", false, {0x8D, 0x4C, 0x24, 0x04}, 4, 0},
    {"and esp, -16", false, {0x83, 0xE4, 0xF0}, 3, 0},
    {"push [ecx-4]", false, {0xFF, 0x71, 0xFC}, 3, 0},
    {"mov ecx, 1", false, {0xB9, 1, 0, 0, 0}, 5, 0},
    {"mov eax, [abs32]", false, {0x8B, 0x05, 1, 2, 3, 4}, 6, 0},
    {"push imm16", false, {0x66, 0x68, 1, 2}, 4, 0},
    {"ret", true, {0xC3}, 0, 0},
    {"jmp short", false, {0xEB, 0x05}, 0, 0},
    {"je short", true, {0x74, 0x02}, 0, 0},
    {"je near", true, {0x0F, 0x84, 1, 2, 3, 4}, 0, 0},
    {"int3", false, {0xCC}, 0, 0},
    {"five prefixes", true, {0x66, 0x66, 0x66, 0x66, 0x66, 0x90}, 0, 0},
};

TEST(InlineDecode, InstructionLengthsAndDisplacements) {
  for (const Case &c : kInstructions) {
    std::vector<uint8_t> code = c.code;
    code.resize(code.size() + 16, 0xCC);  // what follows: never read as part
    size_t relative = 99;
    EXPECT_EQ(nqinj::InstructionLength(code.data(), c.wide, &relative),
              c.length)
        << c.what;
    if (c.length != 0) {
      EXPECT_EQ(relative, c.relative) << c.what;
    }
  }
}

// Whole instructions up to the five bytes of a jump, as the system's
// socket functions begin (Wine's builds and Windows' own 32-bit prologue),
// with the displacements to rebase; a function that returns or branches
// within them is refused.
TEST(InlineDecode, ProloguesCoverAJump) {
  struct {
    const char *what;
    bool wide;
    std::vector<uint8_t> code;
    size_t length;  // 0: refused
    std::vector<size_t> at, end;
  } cases[] = {
      {"push r12; push rbp; push rdi; push rsi",
       true,
       {0x41, 0x54, 0x55, 0x57, 0x56, 0x53},
       5,
       {},
       {}},
      {"sub rsp; lea",
       true,
       {0x48, 0x83, 0xEC, 0x78, 0x48, 0x8D, 0x44, 0x24, 0x5C},
       9,
       {},
       {}},
      {"push; mov rax, [rip+d]",
       true,
       {0x53, 0x48, 0x8B, 0x05, 1, 2, 3, 4},
       8,
       {4},
       {8}},
      {"call; call", false, {0xE8, 1, 2, 3, 4, 0xE8, 5, 6, 7, 8}, 5, {1}, {5}},
      {"mov edi, edi; push ebp; mov ebp, esp",
       false,
       {0x8B, 0xFF, 0x55, 0x8B, 0xEC},
       5,
       {},
       {}},
      {"push ebp; mov ecx, 1", false, {0x55, 0xB9, 1, 0, 0, 0}, 6, {}, {}},
      {"xor eax, eax; ret", true, {0x31, 0xC0, 0xC3}, 0, {}, {}},
      {"test; je short", false, {0x85, 0xC0, 0x74, 0x02, 0x90}, 0, {}, {}},
  };
  for (const auto &c : cases) {
    std::vector<uint8_t> code = c.code;
    code.resize(code.size() + 16, 0xCC);
    nqinj::Prologue p;
    bool read = nqinj::ReadPrologue(code.data(), 5, c.wide, &p);
    EXPECT_EQ(read, c.length != 0) << c.what;
    if (!read) continue;
    EXPECT_EQ(p.length, c.length) << c.what;
    EXPECT_EQ(std::vector<size_t>(p.at, p.at + p.count), c.at) << c.what;
    EXPECT_EQ(std::vector<size_t>(p.end, p.end + p.count), c.end) << c.what;
  }
}

}  // namespace
