// Sessions on Windows: the real terminal-services queries (under Wine in the
// windows flavour).
#include "platform/sessions.h"
#include "platform/win/handles.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>

namespace bx::sessions {
namespace {

bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Name and domain of this process's user, from its token.
void TokenAccount(std::wstring& name, std::wstring& domain) {
    bx::win::UniqueHandle owner;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, owner.put())) << GetLastError();
    HANDLE token = owner.get();
    DWORD bytes = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &bytes);
    std::unique_ptr<BYTE[]> buffer(new BYTE[bytes]);
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, buffer.get(), bytes, &bytes)) << GetLastError();
    PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.get())->User.Sid;
    wchar_t n[256], d[256];
    DWORD nl = 256, dl = 256;
    SID_NAME_USE use;
    ASSERT_TRUE(LookupAccountSidW(nullptr, sid, n, &nl, d, &dl, &use)) << GetLastError();
    name = n;
    domain = d;
}

TEST(Sessions, OwnSessionNamesThisProcessUser) {
    DWORD session = 0;
    ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &session)) << GetLastError();
    std::wstring expectedUser, expectedDomain;
    ASSERT_NO_FATAL_FAILURE(TokenAccount(expectedUser, expectedDomain));

    std::wstring user, domain;
    ASSERT_EQ(0u, QueryUserName(session, user));
    ASSERT_EQ(0u, QueryDomainName(session, domain));
    EXPECT_EQ(0, _wcsicmp(expectedUser.c_str(), user.c_str())) << user.c_str();
    // Windows: the logged-on user's domain (the computer name for a local
    // account). Wine answers the machine name, which is also the domain it
    // gives the token user.
    EXPECT_EQ(0, _wcsicmp(expectedDomain.c_str(), domain.c_str())) << domain.c_str();
}

TEST(Sessions, SessionZeroAndAnAbsentSession) {
    std::wstring user = L"stale", domain = L"stale";
    const uint32_t userResult = QueryUserName(0, user);
    const uint32_t domainResult = QueryDomainName(0, domain);
    std::wstring absentUser = L"stale";
    const uint32_t absentResult = QueryUserName(60000, absentUser);
    if (RunningUnderWine()) {
        // Wine answers the Linux user and the machine name for every session
        // id, session 0 and sessions that do not exist included.
        wchar_t me[256];
        DWORD length = 256;
        ASSERT_TRUE(GetUserNameW(me, &length));
        EXPECT_EQ(0u, userResult);
        EXPECT_EQ(0u, domainResult);
        EXPECT_EQ(0, _wcsicmp(me, user.c_str()));
        EXPECT_EQ(0u, absentResult);
        EXPECT_EQ(user, absentUser);
    } else {
        // Windows: session 0 holds the services, with no user logged on; a
        // session that does not exist fails, and the seam clears the name.
        EXPECT_EQ(0u, userResult);
        EXPECT_TRUE(user.empty());
        EXPECT_NE(0u, absentResult);
        EXPECT_TRUE(absentUser.empty());
    }
}

}  // namespace
}  // namespace bx::sessions
