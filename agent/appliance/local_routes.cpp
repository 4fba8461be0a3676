#include "agent/appliance/local_routes.h"

#include <algorithm>
#include <cstring>

#include "platform/dotted_quad.h"
#include "platform/host_facts.h"

namespace {

// The (byte, value) rows of the subnets' bitsets.
constexpr size_t kRows = 4 * 256;
// One summary word covers a bitset of the largest table.
static_assert(bx::kMaxLocalRoutes <= 64 * 64, "a summary word has a bit for each word of a bitset");

constexpr uint32_t ByteOf(uint32_t value, int byte) { return value >> (24 - 8 * byte) & 0xFF; }

}  // namespace

CLocalRoutes::CLocalRoutes() : refusalLog_(1, bx::kRouteRefusalBurstMs, [] { return bx::host::TickCount(); }) {
    IndexRanges();
}

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
    if (std::find(subnets_.begin(), subnets_.end(), added) != subnets_.end()) return;  // already held
    if (!HasRoom(subnets_.size(), subnetsFullReported_, L"subnet")) return;
    auto at = subnets_.begin();
    while (at != subnets_.end() && ComesFirst(*at, added)) ++at;
    subnets_.insert(at, added);
    IndexSubnet(subnets_.size() - 1, added);
}

void CLocalRoutes::IndexSubnet(size_t index, const bx::Subnet& subnet) {
    const size_t word = index / 64;
    if (word >= stride_) {
        // Twice the words per bitset, each bitset's words moved to its new place.
        const size_t stride = std::max<size_t>(1, stride_ * 2);
        std::vector<uint64_t> grown(kRows * stride, 0);
        for (size_t row = 0; row < kRows && stride_ != 0; ++row)
            std::memcpy(&grown[row * stride], &bitsets_[row * stride_], stride_ * sizeof(uint64_t));
        bitsets_.swap(grown);
        stride_ = stride;
    }
    // The values of each byte that agree: the network's bits with any choice
    // of the bits the mask leaves free; none when the network has a bit
    // outside the mask (the subnet then matches nothing).
    for (int byte = 0; byte < 4; ++byte)
        if ((ByteOf(subnet.network, byte) & ~ByteOf(subnet.mask, byte)) != 0) return;
    const uint64_t bit = uint64_t{1} << (index % 64);
    for (int byte = 0; byte < 4; ++byte) {
        const uint32_t network = ByteOf(subnet.network, byte);
        const uint32_t free = ~ByteOf(subnet.mask, byte) & 0xFF;
        for (uint32_t choice = free;; choice = (choice - 1) & free) {
            const size_t row = static_cast<size_t>(byte) * 256 + (network | choice);
            bitsets_[row * stride_ + word] |= bit;
            summaries_[row] |= uint64_t{1} << word;
            if (choice == 0) break;
        }
    }
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
    IndexRanges();
}

void CLocalRoutes::IndexRanges() {
    static_assert(bx::kMaxLocalRoutes <= 16 * kMaxRangeLeaves, "the leaves hold every interval");
    const size_t count = merged_.size();
    RangeLeaf padding;
    std::fill(std::begin(padding.first), std::end(padding.first), UINT32_MAX);
    std::fill(std::begin(padding.last), std::end(padding.last), UINT32_MAX);
    rangeLeaves_.assign((count + 15) / 16, padding);
    for (size_t i = 0; i < count; ++i) {
        rangeLeaves_[i / 16].first[i % 16] = merged_[i].first;
        rangeLeaves_[i / 16].last[i % 16] = merged_[i].last;
    }
    std::fill(std::begin(rangeLeafFirsts_), std::end(rangeLeafFirsts_), UINT32_MAX);
    for (size_t leaf = 0; leaf < rangeLeaves_.size(); ++leaf) rangeLeafFirsts_[leaf] = rangeLeaves_[leaf].first[0];
    for (size_t group = 0; group < kMaxRangeLeaves / 16; ++group)
        rangeGroupFirsts_[group] = rangeLeafFirsts_[group * 16];
    rangeCount_ = count;
}

bool CLocalRoutes::IsLocalRoute(uint32_t address) const {
    std::lock_guard<std::mutex> guard(lock_);
    // Cold, a look-up is a wait for memory: the ranges' search reads three
    // lines one after another, the subnets' search their summaries and then
    // up to 32 lines side by side. Each step asks for the lines of the next
    // before it waits, so that the two searches wait at the same time.
    SubnetProbe subnets = ProbeSubnets(address);
    const uint32_t* leafFirsts = RangeGroup(address);
    if (leafFirsts != nullptr) __builtin_prefetch(leafFirsts);
    subnets.Fetch();
    const RangeLeaf* leaf = leafFirsts != nullptr ? RangeLeafIn(leafFirsts, address) : nullptr;
    if (leaf != nullptr) {
        __builtin_prefetch(leaf->first);
        __builtin_prefetch(leaf->last);
    }
    return subnets.Match() || (leaf != nullptr && InLeaf(*leaf, address));
}

CLocalRoutes::SubnetProbe CLocalRoutes::ProbeSubnets(uint32_t address) const {
    SubnetProbe probe;
    if (stride_ == 0) return probe;
    size_t rows[4];
    for (int byte = 0; byte < 4; ++byte) rows[byte] = static_cast<size_t>(byte) * 256 + ByteOf(address, byte);
    // Only the words whose bitsets are all non-zero can hold a subnet that
    // every byte agrees with.
    probe.candidates = summaries_[rows[0]] & summaries_[rows[1]] & summaries_[rows[2]] & summaries_[rows[3]];
    probe.stride = stride_;
    for (int byte = 0; byte < 4; ++byte) probe.sets[byte] = &bitsets_[rows[byte] * stride_];
    return probe;
}

void CLocalRoutes::SubnetProbe::Fetch() const {
    // The lines of the four bitsets that hold a candidate word, 8 words each.
    for (size_t line = 0; line * 8 < stride; ++line)
        if ((candidates >> (line * 8) & 0xFF) != 0)
            for (const uint64_t* set : sets) __builtin_prefetch(set + line * 8);
}

bool CLocalRoutes::SubnetProbe::Match() const {
    for (uint64_t left = candidates; left != 0; left &= left - 1) {
        const size_t word = static_cast<size_t>(__builtin_ctzll(left));
        if ((sets[0][word] & sets[1][word] & sets[2][word] & sets[3][word]) != 0) return true;
    }
    return false;
}

// The last interval starting at or before the address is the only one that
// can hold it. Its leaf is the last whose first address is at or below the
// address: found among the first addresses of every 16th leaf (RangeGroup),
// then among those of the 16 leaves that follow (RangeLeafIn). Padding
// (UINT32_MAX) is at or below only the address UINT32_MAX; the counts of
// leaves and intervals cut it off.
const uint32_t* CLocalRoutes::RangeGroup(uint32_t address) const {
    if (rangeCount_ == 0) return nullptr;
    size_t groups = 0;
    for (uint32_t first : rangeGroupFirsts_) groups += first <= address ? 1 : 0;
    return groups == 0 ? nullptr : &rangeLeafFirsts_[(groups - 1) * 16];
}

const CLocalRoutes::RangeLeaf* CLocalRoutes::RangeLeafIn(const uint32_t* leafFirsts, uint32_t address) const {
    size_t below = 0;
    for (size_t at = 0; at < 16; ++at) below += leafFirsts[at] <= address ? 1 : 0;
    const size_t leaf = std::min(static_cast<size_t>(leafFirsts - rangeLeafFirsts_) + below, rangeLeaves_.size());
    return &rangeLeaves_[leaf - 1];
}

bool CLocalRoutes::InLeaf(const RangeLeaf& leaf, uint32_t address) const {
    size_t in = 0;
    for (uint32_t first : leaf.first) in += first <= address ? 1 : 0;
    const size_t leafIndex = static_cast<size_t>(&leaf - rangeLeaves_.data());
    const size_t at = std::min(leafIndex * 16 + in - 1, rangeCount_ - 1);
    return address <= leaf.last[at % 16];
}

std::vector<bx::Subnet> CLocalRoutes::Subnets() const {
    std::lock_guard<std::mutex> guard(lock_);
    return subnets_;
}

std::vector<bx::AddressRange> CLocalRoutes::Ranges() const {
    std::lock_guard<std::mutex> guard(lock_);
    return ranges_;
}
