// Loaded into a running process, the interposer is not first in the
// symbol search, and the modules' calls are bound already: they are sent
// here through each module's global offset table instead, the ELF
// counterpart of an import table.
#ifndef NQ_DROPIN_NETQUILL_RUN_GOT_REDIRECT_H
#define NQ_DROPIN_NETQUILL_RUN_GOT_REDIRECT_H

namespace nqrun {

// Points the table entries of every loaded module (but this interposer,
// NETQUILL and the C library, whose own calls are not the program's) that
// name a function this interposer defines at that function, and dlopen at
// one that does the same for the modules it loads. Each entry's earlier
// value is kept. Returns the number of entries pointed here.
int RedirectModules();

// Puts back every entry that still points here.
void RestoreModules();

}  // namespace nqrun

#endif  // NQ_DROPIN_NETQUILL_RUN_GOT_REDIRECT_H
