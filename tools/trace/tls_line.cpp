#include "tls_line.h"

#include "call_args.h"
#include "winsock_names.h"

namespace nqtrace {

bool PlaintextCount(const ParsedLine &line, std::uint64_t &count) {
  if (line.kind != LineKind::Call || line.tag != Tag::Info ||
      PlaintextDirection(line.function) == 0)
    return false;
  CallArgs args;
  if (!SplitArgs(line.args, args)) return false;
  std::int64_t value = 0;
  if (args.count == 4) {
    const std::string_view moved = args.items[3];
    if (moved.size() < 3 || moved.front() != '[' || moved.back() != ']' ||
        !ParseInteger(moved.substr(1, moved.size() - 2), value))
      return false;
  } else if (args.count != 3 || !ParseInteger(line.result, value)) {
    return false;
  }
  if (value <= 0) return false;
  count = static_cast<std::uint64_t>(value);
  return true;
}

bool TlsKeyLog(std::string_view text, std::string_view &keylog) {
  constexpr std::string_view kPrefix = "TLS key log: ";
  if (text.substr(0, kPrefix.size()) != kPrefix ||
      text.size() == kPrefix.size())
    return false;
  keylog = text.substr(kPrefix.size());
  return true;
}

}  // namespace nqtrace
