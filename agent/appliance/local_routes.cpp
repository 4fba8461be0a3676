#include "agent/appliance/local_routes.h"

#include <algorithm>

#include "platform/dotted_quad.h"
#include "platform/host_facts.h"

CLocalRoutes::CLocalRoutes() : refusalLog_(1, bx::kRouteRefusalBurstMs, [] { return bx::host::TickCount(); }) {}

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

bool CLocalRoutes::HasRoom(size_t count, bool& reported, const wchar_t* what) {
    if (count < bx::kMaxLocalRoutes) return true;
    if (!reported) {
        reported = true;
        LogError(L"UTM:resp Local route %ls table is full (%u entries): further %ls entries are ignored", what,
                 static_cast<unsigned>(bx::kMaxLocalRoutes), what);
    }
    return false;
}

void CLocalRoutes::Refuse(const wchar_t* what, uint32_t a, uint32_t b) {
    ++refused_;
    if (!refusalLog_.Admit(bx::kPriorityError)) return;
    LogError(
        L"UTM:resp Refused local %ls '%ls' '%ls': it holds more than %u addresses (%u more refused since the last "
        L"such line)",
        what, bx::DottedQuad(a).c_str(), bx::DottedQuad(b).c_str(), static_cast<unsigned>(bx::kMaxLocalRouteAddresses),
        static_cast<unsigned>(refusalLog_.TakeLeftOut()));
}

uint32_t CLocalRoutes::Refused() const {
    std::lock_guard<std::mutex> guard(lock_);
    return refused_;
}

void CLocalRoutes::AddSubnet(uint32_t network, uint32_t mask) {
    const bx::Subnet added{network, mask};
    std::lock_guard<std::mutex> guard(lock_);
    // Fewer than 8 leading one bits: more than 2^24 addresses. With 8 or
    // more, at most 24 bits are free: at most 2^24 addresses.
    if ((mask >> 24) != 0xFF) {
        Refuse(L"subnet (network, mask)", network, mask);
        return;
    }
    auto group =
        std::find_if(maskGroups_.begin(), maskGroups_.end(), [mask](const MaskGroup& g) { return g.mask == mask; });
    if (group != maskGroups_.end() && std::binary_search(group->networks.begin(), group->networks.end(), network))
        return;  // already held
    if (!HasRoom(subnets_.size(), subnetsFullReported_, L"subnet")) return;
    auto at = subnets_.begin();
    while (at != subnets_.end() && ComesFirst(*at, added)) ++at;
    subnets_.insert(at, added);
    if (group == maskGroups_.end()) group = maskGroups_.insert(maskGroups_.end(), MaskGroup{mask, {}});
    group->networks.insert(std::upper_bound(group->networks.begin(), group->networks.end(), network), network);
}

void CLocalRoutes::AddRange(uint32_t first, uint32_t last) {
    const bx::AddressRange added{first, last};
    std::lock_guard<std::mutex> guard(lock_);
    if (first <= last && uint64_t{last} - first + 1 > bx::kMaxLocalRouteAddresses) {
        Refuse(L"range (first, last)", first, last);
        return;
    }
    if (std::find(ranges_.begin(), ranges_.end(), added) != ranges_.end()) return;  // already held
    if (!HasRoom(ranges_.size(), rangesFullReported_, L"range")) return;
    ranges_.push_back(added);
    MergeRange(added);
}

// Folds one range into the sorted, disjoint intervals of the look-up. A range
// whose first address lies above its last holds no address.
void CLocalRoutes::MergeRange(const bx::AddressRange& range) {
    if (range.first > range.last) return;
    bx::AddressRange joined = range;
    // The first interval that could touch the new one: the last one that
    // starts at or before it, or the first one after it.
    auto begin = std::upper_bound(merged_.begin(), merged_.end(), joined.first,
                                  [](uint32_t value, const bx::AddressRange& r) { return value < r.first; });
    if (begin != merged_.begin() && (begin - 1)->last >= (joined.first == 0 ? 0 : joined.first - 1)) --begin;
    auto end = begin;
    // Every interval that overlaps or adjoins the new one is absorbed.
    while (end != merged_.end() && (joined.last == UINT32_MAX || end->first <= joined.last + 1)) {
        joined.first = std::min(joined.first, end->first);
        joined.last = std::max(joined.last, end->last);
        ++end;
    }
    const auto at = merged_.erase(begin, end);
    merged_.insert(at, joined);
}

bool CLocalRoutes::IsLocalRoute(uint32_t address) const {
    std::lock_guard<std::mutex> guard(lock_);
    for (const MaskGroup& group : maskGroups_)
        if (std::binary_search(group.networks.begin(), group.networks.end(), address & group.mask)) return true;
    // The last interval starting at or before the address is the only one
    // that can hold it.
    auto after = std::upper_bound(merged_.begin(), merged_.end(), address,
                                  [](uint32_t value, const bx::AddressRange& r) { return value < r.first; });
    return after != merged_.begin() && address <= (after - 1)->last;
}

std::vector<bx::Subnet> CLocalRoutes::Subnets() const {
    std::lock_guard<std::mutex> guard(lock_);
    return subnets_;
}

std::vector<bx::AddressRange> CLocalRoutes::Ranges() const {
    std::lock_guard<std::mutex> guard(lock_);
    return ranges_;
}
