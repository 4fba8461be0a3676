// The product version on Linux: the build's own (the daemon has no version
// resource to read).
#include "platform/version_info.h"

#include "platform/product_version.h"

namespace bx::host {

bool GetProductVersion(ProductVersion& version) {
    version.parts[0] = BX_VERSION_MAJOR;
    version.parts[1] = BX_VERSION_MINOR;
    version.parts[2] = BX_VERSION_PATCH;
    version.parts[3] = BX_VERSION_BUILD;
    return true;
}

}  // namespace bx::host
