// Accounts on POSIX for the portable tests: look-ups from a table that tests
// fill (the SID rules are in sids.cpp).
#include "platform/accounts.h"

#include <map>
#include <mutex>

#include "platform/errors.h"
#include "platform/posix/account_table.h"

namespace bx::accounts {
namespace {

struct Table {
    std::mutex lock;
    std::map<std::vector<uint8_t>, Account> accounts;
};

Table& TheTable() {
    static Table table;
    return table;
}

const uint8_t* Bytes(const void* sid) { return static_cast<const uint8_t*>(sid); }

}  // namespace

uint32_t LookupAccount(const void* sid, Account& account) {
    account = Account{};
    if (!IsValidSid(sid)) return err::kInvalidSid;
    std::vector<uint8_t> key(Bytes(sid), Bytes(sid) + SidLength(sid));
    Table& table = TheTable();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.accounts.find(key);
    if (found == table.accounts.end()) return err::kNoneMapped;
    account = found->second;
    return err::kSuccess;
}

uint32_t SetTableAccount(const wchar_t* sidText, const Account& account) {
    std::vector<uint8_t> key;
    uint32_t error = StringToSid(sidText, key);
    if (error) return error;
    Table& table = TheTable();
    std::lock_guard<std::mutex> guard(table.lock);
    table.accounts[key] = account;
    return err::kSuccess;
}

void ClearTableAccounts() {
    Table& table = TheTable();
    std::lock_guard<std::mutex> guard(table.lock);
    table.accounts.clear();
}

}  // namespace bx::accounts
