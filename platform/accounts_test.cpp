// SID rules through the accounts interface: the security API under Wine, the
// portable code natively.
#include "platform/accounts.h"

#include <gtest/gtest.h>

#include "platform/errors.h"

namespace bx::accounts {
namespace {

TEST(Accounts, StringFormRoundTripsWithWindowsLayout) {
    std::vector<uint8_t> sid;
    ASSERT_EQ(err::kSuccess, StringToSid(L"S-1-5-18", sid));
    const std::vector<uint8_t> system = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    EXPECT_EQ(system, sid);
    EXPECT_TRUE(IsValidSid(sid.data()));
    EXPECT_EQ(12u, SidLength(sid.data()));

    std::wstring text;
    const wchar_t* forms[] = {L"S-1-5-21-3623811015-3361044348-30300820-1013", L"S-1-0-0", L"S-1-5-32-544",
                              L"S-1-16-12288"};
    for (const wchar_t* form : forms) {
        ASSERT_EQ(err::kSuccess, StringToSid(form, sid)) << form;
        ASSERT_EQ(err::kSuccess, SidToString(sid.data(), text)) << form;
        EXPECT_EQ(std::wstring(form), text);
    }
    // Sub-authorities are stored little-endian.
    ASSERT_EQ(err::kSuccess, StringToSid(L"S-1-5-4294967295-16909060", sid));
    const std::vector<uint8_t> expected = {1, 2, 0, 0, 0, 0, 0, 5, 0xFF, 0xFF, 0xFF, 0xFF, 4, 3, 2, 1};
    EXPECT_EQ(expected, sid);
}

TEST(Accounts, MalformedTextAndBytesAreRejected) {
    std::vector<uint8_t> sid;
    // Forms on which the security API and Wine's copy of it agree; the
    // portable parser's stricter cases are in posix/accounts_test.cpp.
    for (const wchar_t* bad : {L"", L"X-1-5-18", L"S-2-5-18", L"S-1--18", L"S-1-5-x"}) {
        EXPECT_EQ(err::kInvalidSid, StringToSid(bad, sid)) << bad;
        EXPECT_TRUE(sid.empty());
    }
    uint8_t badRevision[12] = {2, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    uint8_t tooMany[kMaxSidBytes + 4] = {1, 16, 0, 0, 0, 0, 0, 5};
    EXPECT_FALSE(IsValidSid(badRevision));
    EXPECT_FALSE(IsValidSid(tooMany));
    std::wstring text = L"stale";
    EXPECT_NE(err::kSuccess, SidToString(badRevision, text));
    EXPECT_TRUE(text.empty());
}

TEST(Accounts, CopyAndCompare) {
    std::vector<uint8_t> a, b, c;
    ASSERT_EQ(err::kSuccess, StringToSid(L"S-1-5-21-1-2-3-1000", a));
    ASSERT_EQ(err::kSuccess, StringToSid(L"S-1-5-21-1-2-3-1001", b));
    ASSERT_EQ(err::kSuccess, StringToSid(L"S-1-5-21-1-2-3", c));
    uint8_t copy[kMaxSidBytes] = {};
    ASSERT_EQ(err::kSuccess, CopySid(copy, sizeof copy, a.data()));
    EXPECT_TRUE(EqualSid(copy, a.data()));
    EXPECT_FALSE(EqualSid(copy, b.data()));
    EXPECT_FALSE(EqualSid(c.data(), a.data()));  // a prefix is another SID

#ifndef _WIN32
    // Wine's CopySid reports success for a short buffer (and copies nothing),
    // where Windows fails with 122; callers check the length first.
    uint8_t small[8];
    EXPECT_EQ(err::kInsufficientBuffer, CopySid(small, sizeof small, a.data()));
#endif
    uint8_t invalid[12] = {9, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    EXPECT_FALSE(EqualSid(invalid, invalid));
}

}  // namespace
}  // namespace bx::accounts
