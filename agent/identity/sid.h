// CSid: the security identifier of a connection's user, as the snoop driver
// reports it, with the account it names.
//
// The SID itself is copyable and comparable; the account name, domain and
// type are looked up on the local machine the first time one of them is
// needed, and the string form ("S-1-5-18") is made the first time it is asked
// for. A SID that maps to no account has empty names and type Unknown.
// Building one from bytes that are not a valid SID, or a copy that fails,
// throws SidException, which the snooper catches and turns into a dropped
// event.
//
// The look-ups fill caches inside a const object: one CSid is used by one
// thread at a time (a record passes from thread to thread through locked
// queues). Copies share the looked-up account, which never changes once made,
// so copies on different threads may read it at once.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/accounts.h"

namespace bx {

class SidException : public std::runtime_error {
public:
    SidException(uint32_t error, const char* what) : std::runtime_error(what), error_(error) {}
    // The system error behind it (1337 for an invalid SID).
    uint32_t Error() const { return error_; }

private:
    uint32_t error_;
};

}  // namespace bx

class CSid {
public:
    // An empty SID: no bytes, no names.
    CSid() noexcept = default;
    // Copies the SID at `bytes`, of which `available` bytes may be read.
    // Throws SidException when they do not hold a valid SID.
    CSid(const void* bytes, size_t available);
    // From the string form "S-1-...". Throws SidException when it is not one.
    static CSid FromString(const wchar_t* text);

    // Copies carry the SID and whatever was already looked up. A failed copy
    // throws SidException.
    CSid(const CSid& other);
    CSid& operator=(const CSid& other);

    // Replaces the SID by the one at `bytes` (as the constructor), dropping
    // cached names. Throws SidException; the object is then empty.
    void Assign(const void* bytes, size_t available);
    void Clear() noexcept;

    bool IsEmpty() const { return length_ == 0; }
    const void* Data() const { return IsEmpty() ? nullptr : bytes_; }
    size_t Length() const { return length_; }

    // EqualSid; two empty SIDs are equal, an empty one equals no other.
    bool operator==(const CSid& other) const;
    bool operator!=(const CSid& other) const { return !(*this == other); }

    // Local System: authority 5 and the one sub-authority 18 (S-1-5-18).
    bool IsLocalSystem() const;

    // The account, looked up on first need.
    const std::wstring& AccountName() const;
    const std::wstring& Domain() const;
    bx::accounts::SidType Type() const;
    // The look-up's result: 0, 1332 when nothing maps, or the system's error.
    uint32_t LookupError() const;

    // "S-1-5-18"; empty for an empty SID.
    const std::wstring& String() const;

private:
    void Resolve() const;
    void CopyFrom(const CSid& other);

    // Only the first length_ bytes are meaningful; the rest is never read, so
    // records made in the pool do not pay for clearing it.
    uint8_t bytes_[bx::accounts::kMaxSidBytes];
    size_t length_ = 0;
    mutable bool resolved_ = false;
    mutable bool stringMade_ = false;
    mutable uint32_t lookupError_ = 0;
    // The looked-up account, shared by every copy made after the look-up (a
    // record's SID is copied several times on its way: the names are not);
    // null before the look-up and when nothing maps. Never changed once made.
    mutable std::shared_ptr<const bx::accounts::Account> account_;
    mutable std::wstring text_;
};
