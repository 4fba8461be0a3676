#include "agent/snoop/address_table.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Keys far apart and close together, as the snooper's are (port and address
// in the high and low bits).
uint64_t KeyOf(uint64_t i) { return (i % 7) << 48 | (i * 2654435761u % 65536) << 32 | i; }

// The table grows in steps: while a draining table is left, each new entry
// moves two old ones, the new table never rehashes, and every entry stays
// where it was made, with what was written in it.
TEST(AddressTableTest, GrowsALittleAtATimeAndKeepsEveryEntryInPlace) {
    AddressTable table;
    constexpr uint64_t kEntries = 200000;
    std::vector<AddressEntry*> made;
    size_t growths = 0, buckets = 0, draining = 0;
    for (uint64_t i = 0; i < kEntries; ++i) {
        AddressEntry& entry = table.FindOrAdd(KeyOf(i));
        EXPECT_EQ(entry.file_object, 0u) << "a new entry is empty";
        entry.file_object = i + 1;
        made.push_back(&entry);
        if (table.Draining() > draining) {  // a growth began with this entry
            ++growths;
            buckets = table.Buckets();
        } else if (draining > 0) {
            ASSERT_EQ(table.Draining(),
                      draining > AddressTable::kMovedPerAdd ? draining - AddressTable::kMovedPerAdd : 0)
                << "entry " << i;
            ASSERT_EQ(table.Buckets(), buckets) << "the new table rehashed while the old one drained, entry " << i;
        }
        draining = table.Draining();
    }
    EXPECT_GE(growths, 10u);
    ASSERT_EQ(table.Size(), kEntries);
    for (uint64_t i = 0; i < kEntries; ++i) {
        ASSERT_EQ(table.Find(KeyOf(i)), made[i]) << "entry " << i;
        ASSERT_EQ(table.At(KeyOf(i)).file_object, i + 1);
        ASSERT_EQ(&table.FindOrAdd(KeyOf(i)), made[i]);
    }
    EXPECT_EQ(table.Size(), kEntries) << "finding an entry adds none";
    EXPECT_EQ(table.Find(KeyOf(kEntries)), nullptr);
    EXPECT_THROW(table.At(KeyOf(kEntries)), std::out_of_range);

    // Handed on whole, entries in place (the agent renews its snooper).
    AddressTable next = std::move(table);
    EXPECT_EQ(next.Find(KeyOf(kEntries / 2)), made[kEntries / 2]);
    EXPECT_EQ(next.Size(), kEntries);
}

}  // namespace
