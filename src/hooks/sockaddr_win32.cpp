// Socket addresses in the Windows builds: every family is read as IPv4,
// the text the trace of these builds has always had.
#include "hooks/formatters.h"

namespace nq {

static_assert(!kAddressFamilies, "the build reads addresses by family");

bool FormatFamilyAddress(char *, size_t, const struct sockaddr *, int) {
  return false;
}

}  // namespace nq
