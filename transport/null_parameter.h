// The one answer to a null pointer the host passed where the call needs one.
#ifndef PT_TRANSPORT_NULL_PARAMETER_H
#define PT_TRANSPORT_NULL_PARAMETER_H

#include <cstdint>

#include "j2534.h"
#include "trace/trace_scope.h"

// An ERROR line "<what> is a NULL pointer<tail>" and ERR_NULL_PARAMETER.
inline uint32_t NullParameter(TraceScope &scope, const char *what, const char *tail = "") {
    scope.messagef(TL_ERROR, "%s is a NULL pointer%s", what, tail);
    return ERR_NULL_PARAMETER;
}

#endif
