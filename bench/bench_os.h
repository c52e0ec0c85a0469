// The one thing the benchmarks ask of the system that differs between
// platforms: the floor of a written record.
#ifndef NQ_BENCH_BENCH_OS_H
#define NQ_BENCH_BENCH_OS_H

#include <stddef.h>

namespace nqb {

// Opens path for appending (created if missing, shared with other writers),
// writes size bytes in one call and closes it: what any record costs at
// least. Returns 1 when every byte was written.
int FloorAppend(const char *path, const void *data, size_t size);

}  // namespace nqb

#endif
