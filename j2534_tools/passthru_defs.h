// The J2534 names the 04.04 face works with: the records and the names both
// generations share come from j2534.h (which the shared layers below use), the
// 04.04 additions from j2534_0404.h, whose prototypes then stay out. Units of
// this face include this header instead of either.
#ifndef PT_J2534_TOOLS_PASSTHRU_DEFS_H
#define PT_J2534_TOOLS_PASSTHRU_DEFS_H

#include "j2534.h"
#include "j2534_0404.h"

#endif
