#include "agent/appliance/local_routes.h"

namespace {

// The four bytes of a host-order address, most significant first, for the
// "%u.%u.%u.%u" of the log lines.
#define BX_QUAD(a)                                                                    \
    static_cast<unsigned>((a) >> 24 & 0xFF), static_cast<unsigned>((a) >> 16 & 0xFF), \
        static_cast<unsigned>((a) >> 8 & 0xFF), static_cast<unsigned>((a)&0xFF)

}  // namespace

bool CLocalRoutes::ComesFirst(const bx::Subnet& existing, const bx::Subnet& added) const {
    if (existing.mask != 0 || added.mask != 0) {
        const uint32_t common = existing.mask & added.mask;
        // Every bit of the existing mask lies in the new one: the new subnet
        // is as specific or more, and goes in front.
        if (common == existing.mask) return false;
        if (common == added.mask) return true;
    }
    if (existing.network > added.network) return true;
    if (added.network > existing.network) return false;
    LogError(
        L"Failed to Compare subnets:\t\t\t SubNet1: N/w:'%u.%u.%u.%u' Mask:'%u.%u.%u.%u' \t\t\t Subnet2: "
        L"N/w:'%u.%u.%u.%u' Mask:'%u.%u.%u.%u'",
        BX_QUAD(existing.network), BX_QUAD(existing.mask), BX_QUAD(added.network), BX_QUAD(added.mask));
    return false;
}

void CLocalRoutes::AddSubnet(uint32_t network, uint32_t mask) {
    const bx::Subnet added{network, mask};
    std::lock_guard<std::mutex> guard(lock_);
    auto at = subnets_.begin();
    while (at != subnets_.end() && ComesFirst(*at, added)) ++at;
    subnets_.insert(at, added);
}

void CLocalRoutes::AddRange(uint32_t first, uint32_t last) {
    std::lock_guard<std::mutex> guard(lock_);
    ranges_.push_back(bx::AddressRange{first, last});
}

bool CLocalRoutes::IsLocalRoute(uint32_t address) const {
    std::lock_guard<std::mutex> guard(lock_);
    for (const bx::Subnet& subnet : subnets_)
        if ((address & subnet.mask) == subnet.network) return true;
    for (const bx::AddressRange& range : ranges_)
        if (range.first <= address && address <= range.last) return true;
    return false;
}

std::vector<bx::Subnet> CLocalRoutes::Subnets() const {
    std::lock_guard<std::mutex> guard(lock_);
    return subnets_;
}

std::vector<bx::AddressRange> CLocalRoutes::Ranges() const {
    std::lock_guard<std::mutex> guard(lock_);
    return ranges_;
}
