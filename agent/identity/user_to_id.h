// CUserToID: per Windows session, the names last sent to the appliance and
// whether the appliance has acknowledged the session. While it has not,
// notifications carry the names (encrypted); once it has, they go in clear
// without them.
//
// The acknowledgement belongs to the user it was given for: when a session's
// user changes (another SID or other names: a new logon with a reused session
// id, or "run as a different user" inside one session) the entry starts
// unacknowledged again, and a logoff removes it.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "agent/identity/sid.h"
#include "agent/settings/log_impl.h"

struct CUserInfo {
    std::wstring user;
    std::wstring domain;
    uint8_t known = 0;  // 1 once the appliance acknowledged the session id
};

class CUserToID : public CLogImpl {
public:
    static constexpr size_t kBuckets = 17;

    CUserToID() = default;
    CUserToID(const CUserToID&) = delete;
    CUserToID& operator=(const CUserToID&) = delete;

    // Records the session's user: nothing changes when the SID and both
    // names (ignoring case) equal the stored ones; otherwise they are stored
    // and the entry is unacknowledged (known 0), new or not.
    void Update(uint32_t id, const std::wstring& user, const std::wstring& domain, const CSid& sid = CSid());
    // Marks the session acknowledged: 0, or 1168 (and a warning) when absent.
    uint32_t MarkKnown(uint32_t id);
    // Copies the entry out: 0, or 1168 when absent.
    uint32_t Get(uint32_t id, CUserInfo& info) const;
    // Whether the session is present and acknowledged: Get's `known`,
    // without copying the names out.
    bool Known(uint32_t id) const;
    // Forgets the session (its user logged off); nothing when absent.
    void Remove(uint32_t id);
    // Forgets every session (the appliance reset or reported an unknown one).
    void RemoveAll();

private:
    struct Entry {
        uint32_t id;
        CUserInfo info;
        CSid sid;
    };
    using Bucket = std::vector<Entry>;
    Entry* Find(uint32_t id) const;

    mutable std::mutex lock_;
    std::unique_ptr<Bucket[]> buckets_;  // made on the first insertion
};
