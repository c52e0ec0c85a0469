// The summary as JSON, for scripts. One object; arrays keep the same order
// as the text report. Strings from the trace are escaped, and bytes that are
// not valid UTF-8 are written as \u00XX (read as Latin-1) so the output is
// always well-formed.
#pragma once

#include <ostream>
#include <string_view>

#include "summary.h"

namespace nqstat {

void write_json_string(std::ostream &out, std::string_view s);
void write_json_report(std::ostream &out, const Summary &summary);

}  // namespace nqstat
