// The classification of a connection's user that the packet builder asks
// for: non-user connection, domain user or local user.
#pragma once
#include <atomic>
#include <mutex>
#include <string>

#include "agent/identity/session_map.h"
#include "agent/identity/sid.h"
#include "agent/records/send_data.h"
#include "agent/settings/log_impl.h"

// Tells non-user connections, domain users and local users apart.
class CUserClassifier : public CLogImpl {
public:
    explicit CUserClassifier(SessionMap& sessions) : sessions_(sessions) {}
    CUserClassifier(const CUserClassifier&) = delete;
    CUserClassifier& operator=(const CUserClassifier&) = delete;

    // A connection of a SID that is not a user's, of Local System, or of an
    // account other than session 0's user in session 0. Other kinds of record
    // are never non-user connections.
    bool IsNonUserConnection(const send_data_t& record);
    // Whether the record's user belongs to a domain other than this machine.
    bool IsDomainUser(const send_data_t& record, bool nonUserConnection);

    // The computer name, lower-cased, fetched on first need (again while it
    // could not be had); it does not change afterwards.
    const std::wstring& ComputerName();

private:
    bool SessionZeroUserMatches(const CSid& sid);

    SessionMap& sessions_;
    std::mutex nameLock_;
    std::atomic<bool> nameKnown_{false};
    std::wstring computerName_;
};
