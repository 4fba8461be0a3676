// SessionMap: Windows session id -> the user logged on there, filled from the
// service's session logon/logoff notifications (and by the session-0 test).
#pragma once
#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct Session {
    uint32_t id = 0;
    std::wstring user;
    std::wstring domain;
};

class SessionMap {
public:
    static constexpr size_t kBuckets = 4099;

    SessionMap();
    SessionMap(const SessionMap&) = delete;
    SessionMap& operator=(const SessionMap&) = delete;

    // Inserts or overwrites the entry of `id`.
    void Add(uint32_t id, const std::wstring& user, const std::wstring& domain);
    // Copies the names out and removes the entry: 0, or 1168 when absent.
    uint32_t Remove(uint32_t id, std::wstring& user, std::wstring& domain);
    // Copies the names out: 0, or 1168 when absent.
    uint32_t Lookup(uint32_t id, std::wstring& user, std::wstring& domain) const;

private:
    using Bucket = std::vector<Session>;
    Bucket& BucketOf(uint32_t id) { return buckets_[id % kBuckets]; }
    const Bucket& BucketOf(uint32_t id) const { return buckets_[id % kBuckets]; }

    mutable std::mutex lock_;
    std::vector<Bucket> buckets_;
};
