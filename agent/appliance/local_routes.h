// The appliance's local routes: destinations for which the snooper makes no
// notification. The appliance teaches them in "Destination route is Local"
// answers, as subnets (network, mask) and as address ranges (first, last,
// both included). Entries are only added, never removed. An entry equal to
// one already held is not added again, and each table holds at most
// kMaxLocalRoutes entries: what the appliance teaches beyond that is dropped,
// with one log line per table.
//
// A route that would silence too much is refused: a subnet whose mask has
// fewer than 8 leading one bits (it holds more than 2^24 addresses; 0.0.0.0/0
// would end every notification) and a range of more than 2^24 addresses.
// Refusals are counted and logged once per burst (CLogBurst: one line a
// minute at most, which also says how many refusals were left out).
//
// Subnets are kept from the most specific mask to the least specific; a
// subnet with the same mask as one already present goes in front of it.
// Addresses are 32-bit values in host order. One lock guards both tables for
// the whole of each operation (the snooper asks IsLocalRoute on its own
// thread while the listener learns).
//
// IsLocalRoute runs for every connection the snooper sees, so it neither
// walks the tables nor chases pointers: the appliance chooses the masks, and
// a mask need not be contiguous (255.0.255.0 is as valid on the wire as a
// prefix), so the look-up is built for any mask at the same cost.
//   - Subnets: for each byte of an address (0, the leading byte, to 3) and
//     each of its 256 values, a bitset of the subnets that value agrees with
//     under the mask's byte: bit i is set when (value & mask byte) equals
//     network byte of subnet i (a subnet whose network has a bit outside its
//     mask agrees with no value and so matches nothing). An address is in
//     subnet i when bit i is set in the bitsets of its four bytes. Each
//     bitset has a summary word, bit w set when its word w is not zero; the
//     look-up ANDs the four summaries and then only the words they leave.
//     At 4,096 subnets a bitset is 64 words, so a summary is one word; the
//     bitsets of a full table take 512 KiB, those of a few subnets a few KiB.
//   - Ranges are kept merged into sorted, disjoint intervals, in leaves of 16
//     (their first addresses in one cache line, their last in the next).
//     The object holds the first address of each leaf, 16 leaves to a cache
//     line, and the first address of every 16th leaf in one more line: a
//     scan of that line names the group of leaves, a scan of the group's
//     line the leaf, and the leaf the one interval that can hold the
//     address.
// At its worst a look-up reads 4 summary words, 4 bitsets of 512 bytes, two
// lines of leaf addresses and one leaf: a fixed number of cache lines and
// pages whatever the masks. Cold, the time goes in waiting for them, so the
// look-up asks for each step's lines before it waits for the step before:
// the bitsets' lines side by side, and the ranges' three steps while the
// subnets' lines arrive.
#pragma once
#include <cstdint>
#include <mutex>
#include <vector>

#include "agent/settings/log_burst.h"
#include "agent/settings/log_impl.h"

namespace bx {

// The most entries each local-route table holds.
constexpr size_t kMaxLocalRoutes = 4096;
// The most addresses one local route may hold.
constexpr uint64_t kMaxLocalRouteAddresses = uint64_t{1} << 24;
// The length of a burst of refusal lines.
constexpr uint32_t kRouteRefusalBurstMs = 60000;

struct Subnet {
    uint32_t network;
    uint32_t mask;
    bool operator==(const Subnet& other) const { return network == other.network && mask == other.mask; }
};

struct AddressRange {
    uint32_t first;
    uint32_t last;
    bool operator==(const AddressRange& other) const { return first == other.first && last == other.last; }
};

}  // namespace bx

class CLocalRoutes : public CLogImpl {
public:
    CLocalRoutes();
    CLocalRoutes(const CLocalRoutes&) = delete;
    CLocalRoutes& operator=(const CLocalRoutes&) = delete;

    // Inserts the subnet in front of the first entry it comes before (see
    // ComesFirst), or at the end. Nothing changes when the pair is already
    // held, the table is full or the subnet is too broad (refused).
    void AddSubnet(uint32_t network, uint32_t mask);
    // Appends the range; nothing changes when it is already held, the table
    // is full or the range is too wide (refused).
    void AddRange(uint32_t first, uint32_t last);
    // Routes refused as too broad.
    uint32_t Refused() const;

    // True when (address & mask) == network for some subnet, or first <=
    // address <= last for some range.
    bool IsLocalRoute(uint32_t address) const;

    // The comes-first test: whether the table entry `existing` stays in front
    // of the new entry `added`. Masks decide when either is non-zero (the
    // more specific mask first; the new one goes in front on a tie); else the
    // networks, the greater first. Equal networks without masks cannot be
    // ordered: logged as an error, answered no.
    bool ComesFirst(const bx::Subnet& existing, const bx::Subnet& added) const;

    std::vector<bx::Subnet> Subnets() const;
    std::vector<bx::AddressRange> Ranges() const;

    // Calls visit(start, bytes) for each block of memory a look-up may read:
    // the object and its tables. For a benchmark that takes them out of the
    // caches; not while routes are learned.
    template <class Visit>
    void VisitLookUpMemory(Visit visit) const {
        visit(static_cast<const void*>(this), sizeof *this);
        visit(static_cast<const void*>(bitsets_.data()), bitsets_.size() * sizeof bitsets_[0]);
        visit(static_cast<const void*>(rangeLeaves_.data()), rangeLeaves_.size() * sizeof rangeLeaves_[0]);
    }

private:
    // The most leaves of the ranges' search.
    static constexpr size_t kMaxRangeLeaves = 256;
    // 16 intervals: their first addresses, one cache line, and their last
    // addresses in the next.
    struct alignas(64) RangeLeaf {
        uint32_t first[16];
        uint32_t last[16];
    };

    // Whether the table of `what` ("subnet", "range") has room; logs the
    // first refusal of each table. Called under the lock.
    bool HasRoom(size_t count, bool& reported, const wchar_t* what);
    // Counts and logs (once per burst) a route refused as too broad. Called
    // under the lock.
    void Refuse(const wchar_t* what, uint32_t a, uint32_t b);
    // Sets the bits of subnet number `index` (in the order learned) in the
    // bitsets of the values it agrees with.
    void IndexSubnet(size_t index, const bx::Subnet& subnet);
    void MergeRange(const bx::AddressRange& range);
    // Rebuilds the ranges' leaves from merged_.
    void IndexRanges();
    // One look-up's search of the subnets: the bitsets of the address's four
    // bytes and the words their summaries leave.
    struct SubnetProbe {
        const uint64_t* sets[4] = {};
        uint64_t candidates = 0;
        size_t stride = 0;
        // Asks for the lines that Match will read.
        void Fetch() const;
        bool Match() const;
    };
    SubnetProbe ProbeSubnets(uint32_t address) const;
    // The ranges' search in its three steps (see RangeGroup in the source):
    // the first addresses of the group of leaves that can hold the address
    // (nullptr: none can), the leaf among them, the interval in the leaf.
    const uint32_t* RangeGroup(uint32_t address) const;
    const RangeLeaf* RangeLeafIn(const uint32_t* leafFirsts, uint32_t address) const;
    bool InLeaf(const RangeLeaf& leaf, uint32_t address) const;

    // What every look-up reads comes first, beside the lock, so that a cold
    // look-up in small tables touches one page of the object.
    mutable std::mutex lock_;
    // The subnets' bitsets: bitset (byte, value) is the `stride_` words from
    // word ((byte * 256) + value) * stride_, bit i for the subnet learned
    // i-th; its summary is summaries_[byte * 256 + value].
    std::vector<uint64_t> bitsets_;
    size_t stride_ = 0;
    // The ranges' search: the merged intervals in leaves of 16, the first
    // address of each leaf, and that of every 16th leaf. Padding is
    // UINT32_MAX; rangeCount_ intervals.
    std::vector<RangeLeaf> rangeLeaves_;
    size_t rangeCount_ = 0;
    alignas(64) uint32_t rangeGroupFirsts_[kMaxRangeLeaves / 16];
    alignas(64) uint32_t rangeLeafFirsts_[kMaxRangeLeaves];
    uint64_t summaries_[4 * 256] = {};

    // In the order the comes-first test gives; what Subnets() answers.
    std::vector<bx::Subnet> subnets_;
    // In the order learned; what Ranges() answers.
    std::vector<bx::AddressRange> ranges_;
    std::vector<bx::AddressRange> merged_;
    bool subnetsFullReported_ = false;
    bool rangesFullReported_ = false;
    uint32_t refused_ = 0;
    CLogBurst refusalLog_;
};
