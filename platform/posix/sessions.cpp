// Sessions on POSIX: answers from a table that tests fill.
#include "platform/sessions.h"

#include <map>
#include <mutex>

#include "platform/posix/session_table.h"

namespace bx::sessions {
namespace {

struct Table {
    std::mutex lock;
    std::map<uint32_t, TableSession> sessions;
};

Table& TheTable() {
    static Table table;
    return table;
}

uint32_t Query(uint32_t sessionId, std::wstring& text, bool user) {
    text.clear();
    Table& table = TheTable();
    std::lock_guard<std::mutex> hold(table.lock);
    auto found = table.sessions.find(sessionId);
    if (found == table.sessions.end()) return kTableSessionMissing;
    const TableSession& session = found->second;
    const uint32_t error = user ? session.userError : session.domainError;
    if (error != 0) return error;
    text = user ? session.user : session.domain;
    return 0;
}

}  // namespace

uint32_t QueryUserName(uint32_t sessionId, std::wstring& name) { return Query(sessionId, name, true); }

uint32_t QueryDomainName(uint32_t sessionId, std::wstring& domain) { return Query(sessionId, domain, false); }

void SetTableSession(uint32_t sessionId, const TableSession& session) {
    Table& table = TheTable();
    std::lock_guard<std::mutex> hold(table.lock);
    table.sessions[sessionId] = session;
}

void RemoveTableSession(uint32_t sessionId) {
    Table& table = TheTable();
    std::lock_guard<std::mutex> hold(table.lock);
    table.sessions.erase(sessionId);
}

void ClearTableSessions() {
    Table& table = TheTable();
    std::lock_guard<std::mutex> hold(table.lock);
    table.sessions.clear();
}

}  // namespace bx::sessions
