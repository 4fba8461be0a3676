#include "agent/identity/session_map.h"

#include <algorithm>

#include "platform/errors.h"

SessionMap::SessionMap() : buckets_(kBuckets) {}

void SessionMap::Add(uint32_t id, const std::wstring& user, const std::wstring& domain) {
    std::lock_guard<std::mutex> lock(lock_);
    Bucket& bucket = BucketOf(id);
    auto it = std::find_if(bucket.begin(), bucket.end(), [id](const Session& s) { return s.id == id; });
    if (it == bucket.end()) {
        bucket.push_back(Session{id, user, domain});
    } else {
        it->user = user;
        it->domain = domain;
    }
}

uint32_t SessionMap::Remove(uint32_t id, std::wstring& user, std::wstring& domain) {
    std::lock_guard<std::mutex> lock(lock_);
    Bucket& bucket = BucketOf(id);
    auto it = std::find_if(bucket.begin(), bucket.end(), [id](const Session& s) { return s.id == id; });
    if (it == bucket.end()) return bx::err::kNotFound;
    user = std::move(it->user);
    domain = std::move(it->domain);
    bucket.erase(it);
    return bx::err::kSuccess;
}

uint32_t SessionMap::Lookup(uint32_t id, std::wstring& user, std::wstring& domain) const {
    std::lock_guard<std::mutex> lock(lock_);
    const Bucket& bucket = BucketOf(id);
    auto it = std::find_if(bucket.begin(), bucket.end(), [id](const Session& s) { return s.id == id; });
    if (it == bucket.end()) return bx::err::kNotFound;
    user = it->user;
    domain = it->domain;
    return bx::err::kSuccess;
}
