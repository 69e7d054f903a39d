// Test programs only: puts the system-call seam (lib/cli/osx/ossys.h) back
// to the real calls when it goes out of scope, whatever the code in between
// replaced.
#pragma once

#include "lib/cli/osx/ossys.h"

struct OsSysOverride {
    OsSysOverride() = default;
    OsSysOverride(const OsSysOverride &) = delete;
    OsSysOverride &operator=(const OsSysOverride &) = delete;
    ~OsSysOverride() { gOsSys = gOsSysReal; }
};
