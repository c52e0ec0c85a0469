// Names the summary attaches to what it finds in a trace: Windows Sockets
// error codes and the socket functions the tracer writes lines for.
#pragma once

#include <cstdint>
#include <string_view>

namespace nqstat {

// "WSAECONNREFUSED" for 10061; nullptr for a code this table does not know.
const char *wsa_error_name(std::uint32_t code);

// True for the socket functions the tracer hooks (connect, recv, ...).
// A line that names one of them but does not end in a readable result is
// a damaged call line rather than a record the program wrote itself.
bool is_traced_function(std::string_view name);

}  // namespace nqstat
