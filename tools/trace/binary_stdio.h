// Standard input and output as raw bytes. On Windows the C runtime opens
// them in text mode, which drops CRs and stops reading at a 0x1A byte: that
// would hide line endings, cut damaged traces short and spoil binary output.
#ifndef NQ_TOOLS_TRACE_BINARY_STDIO_H
#define NQ_TOOLS_TRACE_BINARY_STDIO_H

#include <cstdio>

namespace nqtrace {

// Switches file (stdin or stdout) to binary mode where the system has one.
void SetBinaryMode(std::FILE *file);

}  // namespace nqtrace

#endif  // NQ_TOOLS_TRACE_BINARY_STDIO_H
