// Accounts on Linux: Unix users' SIDs (S-1-22-1-<uid>) resolved through NSS.
// The SID rules themselves are the portable ones (platform/posix/sids.cpp).
#include "platform/linux/unix_accounts.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/errors.h"
#include "platform/host_facts.h"
#include "platform/utf8.h"

namespace bx::accounts {
namespace {

uint32_t SubAuthority(const uint8_t* sid, unsigned index) {
    const uint8_t* p = sid + kSidHeaderBytes + 4u * index;
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

std::wstring Wide(const std::string& text) { return WideFromUtf8(text.data(), text.size()); }

// Every connection's SID is looked up once; the user database (a file, or an
// SSSD or winbind daemon behind NSS) is asked again for a uid only after its
// answer is this old, so that a renamed or new user shows within that time.
constexpr uint32_t kCacheMs = 30000;
constexpr size_t kCacheMax = 4096;

struct CachedAccount {
    Account account;
    uint32_t error = 0;
    uint32_t tick = 0;
};

struct Cache {
    std::mutex lock;
    std::map<uid_t, CachedAccount> entries;
};

Cache& TheCache() {
    static Cache cache;
    return cache;
}

uint32_t LookupUidNow(uid_t uid, Account& account) {
    account = Account{};
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 1024);
    passwd entry{};
    passwd* found = nullptr;
    for (;;) {
        const int error = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error == ENOMEM) return err::kNotEnoughMemory;
        // getpwuid_r reports "no such user" as success with no entry; some
        // NSS modules report it as one of these errors instead.
        if (error == 0 || error == ENOENT || error == ESRCH || error == EBADF || error == EPERM) break;
        return err::kGenFailure;
    }
    if (!found || !found->pw_name) return err::kNoneMapped;
    std::wstring host;
    host::ComputerName(host);
    SplitAccountName(found->pw_name, host, account);
    return err::kSuccess;
}

}  // namespace

std::vector<uint8_t> UnixUserSid(uid_t uid) {
    std::vector<uint8_t> sid = {1, 2, 0, 0, 0, 0, 0, kUnixAuthority};
    for (uint32_t value : {kUnixUserSubAuthority, static_cast<uint32_t>(uid)})
        for (int shift = 0; shift < 32; shift += 8) sid.push_back(static_cast<uint8_t>(value >> shift));
    return sid;
}

bool UidOfUnixUserSid(const void* sid, uid_t& uid) {
    if (!IsValidSid(sid)) return false;
    const auto* bytes = static_cast<const uint8_t*>(sid);
    static const uint8_t kAuthority[6] = {0, 0, 0, 0, 0, kUnixAuthority};
    if (bytes[1] != 2 || std::memcmp(bytes + 2, kAuthority, sizeof kAuthority) != 0) return false;
    if (SubAuthority(bytes, 0) != kUnixUserSubAuthority) return false;
    uid = static_cast<uid_t>(SubAuthority(bytes, 1));
    return true;
}

void SplitAccountName(const std::string& name, const std::wstring& hostName, Account& account) {
    account.type = SidType::User;
    const size_t at = name.rfind('@');
    if (at != std::string::npos && at > 0 && at + 1 < name.size()) {
        account.name = Wide(name.substr(0, at));
        account.domain = Wide(name.substr(at + 1));
        return;
    }
    const size_t backslash = name.find('\\');
    if (backslash != std::string::npos && backslash > 0 && backslash + 1 < name.size()) {
        account.domain = Wide(name.substr(0, backslash));
        account.name = Wide(name.substr(backslash + 1));
        return;
    }
    account.name = Wide(name);
    account.domain = hostName;
}

uint32_t LookupUid(uid_t uid, Account& account) {
    Cache& cache = TheCache();
    const uint32_t now = host::TickCount();
    {
        std::lock_guard<std::mutex> guard(cache.lock);
        auto found = cache.entries.find(uid);
        if (found != cache.entries.end() && now - found->second.tick < kCacheMs) {
            account = found->second.account;
            return found->second.error;
        }
    }
    // A failure other than "no such user" (the database could not be asked)
    // is not kept: the next look-up asks again.
    const uint32_t error = LookupUidNow(uid, account);
    if (error == err::kSuccess || error == err::kNoneMapped) {
        std::lock_guard<std::mutex> guard(cache.lock);
        if (cache.entries.size() >= kCacheMax) cache.entries.clear();
        cache.entries[uid] = CachedAccount{account, error, now};
    }
    return error;
}

void ForgetCachedAccounts() {
    Cache& cache = TheCache();
    std::lock_guard<std::mutex> guard(cache.lock);
    cache.entries.clear();
}

uint32_t LookupAccount(const void* sid, Account& account) {
    account = Account{};
    if (!IsValidSid(sid)) return err::kInvalidSid;
    uid_t uid = 0;
    if (!UidOfUnixUserSid(sid, uid)) return err::kNoneMapped;
    return LookupUid(uid, account);
}

}  // namespace bx::accounts
