// Which DACLs count as granting SYSTEM and Administrators only: anything wider
// is replaced (the settings key) or not trusted (an event another process made).
#include "platform/win/admin_security.h"

#include <gtest/gtest.h>

namespace {

TEST(AdminSecurity, OnlyAProtectedDaclAllowingNobodyElseCountsAsAdministratorsOnly) {
    const struct {
        const wchar_t* sddl;
        bool adminOnly;
    } cases[] = {
        {L"D:P(A;;GA;;;SY)(A;;GA;;;BA)", true},
        {L"D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)", true},
        {L"D:P(A;;GA;;;SY)", true},                           // narrower
        {L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(D;;GA;;;WD)", true},   // a deny entry takes nothing
        {L"D:(A;;GA;;;SY)(A;;GA;;;BA)", false},               // not protected: inherits
        {L"D:(A;CIIO;GR;;;BU)(A;;KA;;;BA)", false},           // a key as reg add makes it
        {L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GR;;;BU)", false},  // Users may read
        {L"D:P(A;;GA;;;SY)(A;;0x1;;;WD)", false},             // Everyone, one right
        {L"D:P(A;;GA;;;SY)(A;;GA;;;S-1-5-21-1-2-3-1000)", false},
        {L"D:NO_ACCESS_CONTROL", false},
    };
    for (const auto& c : cases) {
        bx::win::AdminOnlySecurity descriptor(c.sddl);
        ASSERT_EQ(0u, descriptor.Error()) << c.sddl;
        EXPECT_EQ(c.adminOnly, bx::win::GrantsAdministratorsOnly(descriptor.Descriptor())) << c.sddl;
    }
}

}  // namespace
