// The count of records lost, which netquill-run shares with the processes
// it traces and reports once the program has ended: a memory file
// (memfd_create with sealing) of exactly this size, sealed with
// F_SEAL_SHRINK, F_SEAL_GROW and F_SEAL_SEAL, that starts with
// NQP_LOST_MAGIC (on Linux; in the ring of records it is a field of the
// memory shared with the launcher). lost is added to atomically.
#ifndef NQ_RUN_COMMON_LOST_COUNT_H
#define NQ_RUN_COMMON_LOST_COUNT_H

#define NQP_LOST_MAGIC "NQ-LOST1"
typedef struct NQP_LostRecords {
  char magic[8];
  unsigned long long lost;
} NQP_LostRecords;

#endif
