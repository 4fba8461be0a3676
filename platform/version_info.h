// The product version of the running program: the four 16-bit parts of the
// fixed version information of its executable (Windows: GetFileVersionInfoW
// and VerQueryValueW on the module's own file). POSIX programs carry no
// version resource; tests set one (platform/version_table.h).
#pragma once
#include <cstdint>

namespace bx::host {

struct ProductVersion {
    uint16_t parts[4] = {};  // most significant first
};

// True with the version, false when the executable carries none.
bool GetProductVersion(ProductVersion& version);

}  // namespace bx::host
