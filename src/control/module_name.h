#ifndef NQ_CONTROL_MODULE_NAME_H
#define NQ_CONTROL_MODULE_NAME_H

#include "core/context.h"

namespace nq {

// Fills ctx->module_name from ctx->module_handle (or the thread id).
void DeriveModuleName(TraceContext *ctx);

}  // namespace nq

#endif
