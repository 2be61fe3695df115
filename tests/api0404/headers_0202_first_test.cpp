// A tool's unit that includes both J2534 headers, the 02.02 one first: it
// compiles (with warnings as errors), the shared records and names are
// declared once, and the prototypes are the 02.02 ones.
#include "j2534.h"
#include "j2534_0404.h"

#include <gtest/gtest.h>

#include <cstddef>

#include "headers_both.h"

// Unevaluated calls: they compile only against the prototypes declared.
static_assert(sizeof(PassThruConnect(0u, 0u, static_cast<uint32_t *>(nullptr))) == 4, "02.02 PassThruConnect");
static_assert(sizeof(PassThruReadVersion(nullptr, nullptr, nullptr)) == 4, "02.02 PassThruReadVersion");

TEST(Headers, BothIncludedThe0202OneFirst) {
    ExpectSharedNamesAgree(sizeof(PASSTHRU_MSG), offsetof(PASSTHRU_MSG, Data));
}
