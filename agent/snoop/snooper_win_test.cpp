// The Snooper under Wine: accounts from the real security API (the process
// token's user, and Local System), sessions from the terminal-services API,
// which Wine answers with the Linux user for every session. The driver read
// itself is exercised end to end with the driver stand-in (tests/e2e).
#include <windows.h>

#include <vector>

#include "platform/win/handles.h"
#include "tests/support/snooper_fixture.h"

namespace bx::test {

void PrepareSnooperAccounts() {}
void ForgetSnooperAccounts() {}

const CSid& UserSid() {
    static const CSid sid = [] {
        bx::win::UniqueHandle owner;
        OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, owner.put());
        HANDLE token = owner.get();
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        std::vector<BYTE> info(size);
        GetTokenInformation(token, TokenUser, info.data(), size, &size);
        PSID raw = reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid;
        return CSid(raw, GetLengthSid(raw));
    }();
    return sid;
}

const CSid& OtherSid() {
    static const CSid sid = CSid::FromString(L"S-1-5-18");
    return sid;
}

void SetSessionUser(uint32_t, const std::wstring&, const std::wstring&) {}

}  // namespace bx::test
