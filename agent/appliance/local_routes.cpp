#include "agent/appliance/local_routes.h"

#include "platform/dotted_quad.h"

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
        L"Failed to Compare subnets:\t\t\t SubNet1: N/w:'%ls' Mask:'%ls' \t\t\t Subnet2: "
        L"N/w:'%ls' Mask:'%ls'",
        bx::DottedQuad(existing.network).c_str(), bx::DottedQuad(existing.mask).c_str(),
        bx::DottedQuad(added.network).c_str(), bx::DottedQuad(added.mask).c_str());
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
