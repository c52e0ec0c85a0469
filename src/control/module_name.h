#ifndef NQ_CONTROL_MODULE_NAME_H
#define NQ_CONTROL_MODULE_NAME_H

// A header of the top floor: a file below it must not include it.
#if NQ_FLOOR < 4
#error "src/control/ is above the floor of this file (NQ_FLOOR)"
#endif

#include "core/context.h"

namespace nq {

// Fills ctx->module_name from ctx->module_handle (or the thread id).
void DeriveModuleName(TraceContext *ctx);

}  // namespace nq

#endif
