// CSid: validity, copies, comparison and string form through the accounts
// interface (the security API under Wine, portable code natively).
#include "agent/identity/sid.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using bx::SidException;
using bx::accounts::SidType;

uint32_t ErrorOf(const std::vector<uint8_t>& bytes, size_t available) {
    try {
        CSid sid(bytes.data(), available);
    } catch (const SidException& e) {
        return e.Error();
    }
    return 0;
}

TEST(Sid, InvalidBytesRaise) {
    const std::vector<uint8_t> system = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    EXPECT_EQ(0u, ErrorOf(system, system.size()));
    EXPECT_EQ(1337u, ErrorOf(system, 11));                                 // the last sub-authority was not received
    EXPECT_EQ(1337u, ErrorOf(system, 7));                                  // not even the header
    EXPECT_EQ(1337u, ErrorOf({2, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}, 12));  // revision 2
    std::vector<uint8_t> tooMany(8 + 16 * 4, 0);
    tooMany[0] = 1;
    tooMany[1] = 16;
    EXPECT_EQ(1337u, ErrorOf(tooMany, tooMany.size()));
    EXPECT_THROW(CSid(nullptr, 12), SidException);
    EXPECT_THROW(CSid::FromString(L"S-1-x"), SidException);

    // A failed Assign leaves the object empty.
    CSid sid = CSid::FromString(L"S-1-5-18");
    EXPECT_THROW(sid.Assign(system.data(), 4), SidException);
    EXPECT_TRUE(sid.IsEmpty());
}

TEST(Sid, CopyCompareAndStringForm) {
    CSid user = CSid::FromString(L"S-1-5-21-1004336348-1177238915-682003330-512");
    CSid other = CSid::FromString(L"S-1-5-21-1004336348-1177238915-682003330-513");
    CSid empty;
    EXPECT_EQ(28u, user.Length());
    EXPECT_EQ(L"S-1-5-21-1004336348-1177238915-682003330-512", user.String());
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_EQ(nullptr, empty.Data());
    EXPECT_EQ(L"", empty.String());

    CSid copy(user);
    EXPECT_TRUE(copy == user);
    EXPECT_TRUE(copy != other);
    EXPECT_TRUE(empty == CSid());
    EXPECT_TRUE(empty != user);
    EXPECT_TRUE(user != empty);
    copy = other;
    EXPECT_TRUE(copy == other);
    copy = empty;
    EXPECT_TRUE(copy.IsEmpty());

    // Built from the driver's bytes: the SID ends where its header says.
    std::vector<uint8_t> buffer(256, 0xCC);
    std::copy(static_cast<const uint8_t*>(user.Data()), static_cast<const uint8_t*>(user.Data()) + user.Length(),
              buffer.begin());
    CSid fromBuffer(buffer.data(), buffer.size());
    EXPECT_TRUE(fromBuffer == user);
    EXPECT_EQ(28u, fromBuffer.Length());
}

TEST(Sid, LocalSystemIsRecognised) {
    EXPECT_TRUE(CSid::FromString(L"S-1-5-18").IsLocalSystem());
    EXPECT_FALSE(CSid::FromString(L"S-1-5-19").IsLocalSystem());
    EXPECT_FALSE(CSid::FromString(L"S-1-5-18-0").IsLocalSystem());
    EXPECT_FALSE(CSid::FromString(L"S-1-1-18").IsLocalSystem());
    EXPECT_FALSE(CSid().IsLocalSystem());
}

TEST(Sid, UnmappableSidHasEmptyNamesAndUnknownType) {
    CSid sid = CSid::FromString(L"S-1-5-21-1111111111-2222222222-3333333333-4444");
    EXPECT_EQ(1332u, sid.LookupError());
    EXPECT_EQ(L"", sid.AccountName());
    EXPECT_EQ(L"", sid.Domain());
    EXPECT_EQ(SidType::Unknown, sid.Type());
    // An empty SID is never looked up.
    CSid empty;
    EXPECT_EQ(0u, empty.LookupError());
    EXPECT_EQ(L"", empty.AccountName());
    EXPECT_EQ(SidType::Unknown, empty.Type());
}

}  // namespace
