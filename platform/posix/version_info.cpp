#include "platform/posix/version_table.h"

#include <mutex>

namespace bx::host {
namespace {
std::mutex lock;
bool hasVersion = false;
ProductVersion testVersion;
}  // namespace

bool GetProductVersion(ProductVersion& version) {
    std::lock_guard<std::mutex> guard(lock);
    if (hasVersion) version = testVersion;
    return hasVersion;
}

void SetProductVersionForTests(const ProductVersion* version) {
    std::lock_guard<std::mutex> guard(lock);
    hasVersion = version != nullptr;
    if (version) testVersion = *version;
}

}  // namespace bx::host
