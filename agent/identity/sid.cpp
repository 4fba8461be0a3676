#include "agent/identity/sid.h"

#include <cstring>
#include <vector>

#include "platform/errors.h"

using bx::SidException;
namespace accounts = bx::accounts;

namespace {
// The names and type of a SID that maps to no account.
const accounts::Account& NoAccount() {
    static const accounts::Account none;
    return none;
}
}  // namespace

CSid::CSid(const void* bytes, size_t available) { Assign(bytes, available); }

CSid CSid::FromString(const wchar_t* text) {
    std::vector<uint8_t> bytes;
    uint32_t error = accounts::StringToSid(text, bytes);
    if (error) throw SidException(error, "not a SID in string form");
    return CSid(bytes.data(), bytes.size());
}

CSid::CSid(const CSid& other) { CopyFrom(other); }

CSid& CSid::operator=(const CSid& other) {
    if (this != &other) CopyFrom(other);
    return *this;
}

void CSid::Clear() noexcept {
    length_ = 0;
    resolved_ = false;
    stringMade_ = false;
    lookupError_ = 0;
    account_.reset();
    text_.clear();
}

void CSid::Assign(const void* bytes, size_t available) {
    Clear();
    // The header tells the SID's length; it must lie within what was received
    // before the security API may look at it.
    if (!bytes || available < accounts::kSidHeaderBytes)
        throw SidException(bx::err::kInvalidSid, "SID shorter than its header");
    size_t length = accounts::SidLength(bytes);
    if (length > available || length > sizeof bytes_ || !accounts::IsValidSid(bytes))
        throw SidException(bx::err::kInvalidSid, "invalid SID");
    uint32_t error = accounts::CopySid(bytes_, static_cast<uint32_t>(sizeof bytes_), bytes);
    if (error) throw SidException(error, "SID copy failed");
    length_ = length;
}

void CSid::CopyFrom(const CSid& other) {
    if (other.IsEmpty()) {
        Clear();
        return;
    }
    Assign(other.bytes_, other.length_);
    resolved_ = other.resolved_;
    lookupError_ = other.lookupError_;
    account_ = other.account_;
    stringMade_ = other.stringMade_;
    text_ = other.text_;
}

bool CSid::operator==(const CSid& other) const {
    if (IsEmpty() || other.IsEmpty()) return IsEmpty() == other.IsEmpty();
    return accounts::EqualSid(bytes_, other.bytes_);
}

bool CSid::IsLocalSystem() const {
    static const uint8_t kLocalSystem[12] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    return length_ == sizeof kLocalSystem && std::memcmp(bytes_, kLocalSystem, sizeof kLocalSystem) == 0;
}

void CSid::Resolve() const {
    if (resolved_) return;
    resolved_ = true;
    if (IsEmpty()) return;
    accounts::Account account;
    lookupError_ = accounts::LookupAccount(bytes_, account);
    // Nothing maps: no account, so empty names and type Unknown.
    if (!lookupError_) account_ = std::make_shared<const accounts::Account>(std::move(account));
}

const std::wstring& CSid::AccountName() const {
    Resolve();
    return (account_ ? *account_ : NoAccount()).name;
}

const std::wstring& CSid::Domain() const {
    Resolve();
    return (account_ ? *account_ : NoAccount()).domain;
}

accounts::SidType CSid::Type() const {
    Resolve();
    return (account_ ? *account_ : NoAccount()).type;
}

uint32_t CSid::LookupError() const {
    Resolve();
    return lookupError_;
}

const std::wstring& CSid::String() const {
    if (!stringMade_ && !IsEmpty()) {
        if (accounts::SidToString(bytes_, text_)) text_.clear();
        stringMade_ = true;
    }
    return text_;
}
