// A tool's unit that includes both J2534 headers, the 04.04 one first: it
// compiles (with warnings as errors), the shared records and names are
// declared once, and the prototypes are the 04.04 ones.
#include "j2534_0404.h"
#include "j2534.h"

#include <gtest/gtest.h>

#include <cstddef>

#include "headers_both.h"

// Unevaluated calls: they compile only against the prototypes declared.
static_assert(sizeof(PassThruConnect(0u, 0u, 0u, 0u, static_cast<uint32_t *>(nullptr))) == 4, "04.04 PassThruConnect");
static_assert(sizeof(PassThruOpen(nullptr, static_cast<uint32_t *>(nullptr))) == 4, "04.04 PassThruOpen");

TEST(Headers, BothIncludedThe0404OneFirst) {
    ExpectSharedNamesAgree(sizeof(PASSTHRU_MSG), offsetof(PASSTHRU_MSG, Data));
}
