// The snooper's address table: what the last open of each local address and
// port said.
#pragma once
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <unordered_map>

#include "agent/identity/sid.h"

struct AddressEntry {
    uint8_t protocol = 0;      // 1 TCP, else UDP
    uint32_t local_ip = 0;     // host order
    uint16_t local_port = 0;   // network order
    uint32_t remote_ip = 0;    // host order
    uint16_t remote_port = 0;  // network order
    uint64_t file_object = 0;
    uint32_t session_id = 0;
    CSid sid;
    bool in_use = false;
    bool reported = false;  // the open was handed to the send queue
};

// What the snooper knows of each local address and port it saw opened, by
// Snooper::AddressKey. Entries stay once made (in_use tells open from ended),
// and stay where they are as the table grows: a pointer to an entry holds for
// the table's life.
//
// A hash table, as every record looks its address up on the service thread
// and a busy server's table holds tens of thousands of ports. A hash table
// that doubles moves every entry at once: at 170,000 entries that took 5.5 ms
// here, at 700,000 35 ms, while the driver's queue of 4,096 records lasts
// 20 ms at 200,000 records/s. So this one grows a little at a time: when the
// next entry would make the table rehash, the table becomes the draining
// one and a new one with room for twice as many takes its place; each entry
// added then moves two from the draining table to the new one (the entries
// themselves stay where they are). The draining table is empty before the
// new one is half full again, so only a new table's empty buckets are ever
// made at once. A look-up reads the new table, then the draining one.
class AddressTable {
public:
    // The entries moved from the draining table with each entry added.
    static constexpr size_t kMovedPerAdd = 2;

    AddressEntry* Find(uint64_t key) {
        return const_cast<AddressEntry*>(static_cast<const AddressTable*>(this)->Find(key));
    }
    const AddressEntry* Find(uint64_t key) const {
        auto found = current_.find(key);
        if (found != current_.end()) return &found->second;
        if (draining_.empty()) return nullptr;
        found = draining_.find(key);
        return found != draining_.end() ? &found->second : nullptr;
    }
    // The entry of `key`; throws std::out_of_range when there is none.
    const AddressEntry& At(uint64_t key) const {
        if (const AddressEntry* entry = Find(key)) return *entry;
        throw std::out_of_range("no such address in the table");
    }
    // The entry of `key`, made (all zero) when there is none.
    AddressEntry& FindOrAdd(uint64_t key) {
        if (AddressEntry* entry = Find(key)) return *entry;
        if (current_.size() + 1 > current_.max_load_factor() * current_.bucket_count()) StartGrowing();
        for (size_t i = 0; i < kMovedPerAdd && !draining_.empty(); ++i)
            current_.insert(draining_.extract(draining_.begin()));
        return current_[key];
    }
    size_t Size() const { return current_.size() + draining_.size(); }
    bool Empty() const { return Size() == 0; }
    // Entries not yet moved out of the draining table; the buckets of the
    // table that takes the new entries (for tests).
    size_t Draining() const { return draining_.size(); }
    size_t Buckets() const { return current_.bucket_count(); }

private:
    using Map = std::unordered_map<uint64_t, AddressEntry>;

    // The draining table is empty here: it empties before the new table is
    // half full.
    void StartGrowing() {
        draining_.swap(current_);
        current_.reserve(2 * draining_.size() + 16);
    }

    Map current_;
    Map draining_;
};
