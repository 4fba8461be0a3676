#include "agent/identity/user_to_id.h"

#include "agent/identity/names.h"
#include "platform/errors.h"

using bx::EqualNoCase;

CUserToID::Entry* CUserToID::Find(uint32_t id) const {
    if (!buckets_) return nullptr;
    for (Entry& e : buckets_[id % kBuckets])
        if (e.id == id) return &e;
    return nullptr;
}

void CUserToID::Update(uint32_t id, const std::wstring& user, const std::wstring& domain, const CSid& sid) {
    std::lock_guard<std::mutex> lock(lock_);
    if (Entry* e = Find(id)) {
        if (e->sid == sid && EqualNoCase(e->info.user, user) && EqualNoCase(e->info.domain, domain)) return;
        // Another user: the appliance's acknowledgement was for the one before.
        e->info = CUserInfo{user, domain, 0};
        e->sid = sid;
        return;
    }
    if (!buckets_) buckets_.reset(new Bucket[kBuckets]);
    buckets_[id % kBuckets].push_back(Entry{id, CUserInfo{user, domain, 0}, sid});
}

void CUserToID::Remove(uint32_t id) {
    std::lock_guard<std::mutex> lock(lock_);
    if (!buckets_) return;
    Bucket& bucket = buckets_[id % kBuckets];
    for (auto e = bucket.begin(); e != bucket.end(); ++e) {
        if (e->id == id) {
            bucket.erase(e);
            return;
        }
    }
}

uint32_t CUserToID::MarkKnown(uint32_t id) {
    std::lock_guard<std::mutex> lock(lock_);
    Entry* e = Find(id);
    if (!e) {
        LogWarning(L"UTM Resp: Could not find entry for SessionId:'%d'", static_cast<int>(id));
        return bx::err::kNotFound;
    }
    LogDebug(L"UTM Resp: Found Entry for SessionId:'%d'-> %ls@%ls", static_cast<int>(id), e->info.user.c_str(),
             e->info.domain.c_str());
    e->info.known = 1;
    return bx::err::kSuccess;
}

uint32_t CUserToID::Get(uint32_t id, CUserInfo& info) const {
    std::lock_guard<std::mutex> lock(lock_);
    const Entry* e = Find(id);
    if (!e) return bx::err::kNotFound;
    info = e->info;
    return bx::err::kSuccess;
}

bool CUserToID::Known(uint32_t id) const {
    std::lock_guard<std::mutex> lock(lock_);
    const Entry* e = Find(id);
    return e && e->info.known;
}

void CUserToID::RemoveAll() {
    std::lock_guard<std::mutex> lock(lock_);
    if (!buckets_) return;
    for (size_t i = 0; i < kBuckets; ++i) buckets_[i].clear();
}
