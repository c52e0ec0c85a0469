#include "tls_keys.h"

#include <set>
#include <string_view>

#include "line_parser.h"
#include "line_reader.h"
#include "tls_line.h"

namespace nqpcap {

std::string GatherTlsKeys(nqtrace::ByteSource &source) {
  nqtrace::LineReader reader(source);
  std::set<std::string, std::less<>> seen;
  std::string keys;
  std::string_view text;
  std::string_view keylog;
  while (reader.Next(text)) {
    // Dump lines are indented: only a record's line can hold a key.
    if (text.empty() || text[0] == ' ') continue;
    const nqtrace::ParsedLine p = nqtrace::ParseLine(text);
    if (p.kind != nqtrace::LineKind::Other ||
        !nqtrace::TlsKeyLog(p.text, keylog) ||
        !seen.insert(std::string(keylog)).second)
      continue;
    keys.append(keylog);
    keys += '\n';
  }
  return keys;
}

}  // namespace nqpcap
