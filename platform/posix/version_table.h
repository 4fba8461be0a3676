// POSIX only: programs carry no version resource there, so tests say what
// GetProductVersion answers. Windows reads the executable's own resource and
// has nothing here.
#pragma once
#include "platform/version_info.h"

namespace bx::host {

// What GetProductVersion answers from now on (null: no version).
void SetProductVersionForTests(const ProductVersion* version);

}  // namespace bx::host
