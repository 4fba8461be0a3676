// logind: a stand-in for systemd-logind on a D-Bus bus of the tests' own (the
// Linux agent's session tests; machines without systemd have no logind).
//
//   DBUS_SYSTEM_BUS_ADDRESS=unix:path=... logind
//
// Owns org.freedesktop.login1 on that bus with the parts of logind the agent
// uses: the manager's ListSessions, its signals SessionNew and
// SessionRemoved, and each session's properties Id, Audit and User. What it
// does comes from standard input, one command per line:
//
//   new ID AUDIT UID     a session: listed, and SessionNew sent
//   remove ID            SessionRemoved sent, the session gone
//   vanish ID            SessionNew sent for a session that is already gone
//                        (its properties cannot be read)
//
// It prints "ready" once it owns the name and "ok COMMAND" after each
// command; it ends at the end of its input.
#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>

namespace {

constexpr char kPath[] = "/org/freedesktop/login1";
constexpr char kSessionPrefix[] = "/org/freedesktop/login1/session";

struct Session {
    uint32_t audit = 0;
    uint32_t uid = 0;
};

std::map<std::string, Session> sessions;

std::string PathOf(const std::string& id) { return std::string(kSessionPrefix) + "/_" + id; }

int ListSessions(sd_bus_message* call, void*, sd_bus_error*) {
    sd_bus_message* reply = nullptr;
    sd_bus_message_new_method_return(call, &reply);
    sd_bus_message_open_container(reply, 'a', "(susso)");
    for (const auto& [id, session] : sessions)
        sd_bus_message_append(reply, "(susso)", id.c_str(), session.uid, "user", "", PathOf(id).c_str());
    sd_bus_message_close_container(reply);
    const int r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
}

const Session* SessionAt(const char* path, std::string* idOut) {
    for (const auto& [id, session] : sessions)
        if (PathOf(id) == path) {
            if (idOut) *idOut = id;
            return &session;
        }
    return nullptr;
}

int FindSession(sd_bus*, const char* path, const char*, void*, void** found, sd_bus_error*) {
    *found = nullptr;
    return SessionAt(path, nullptr) ? 1 : 0;
}

int Property(sd_bus*, const char* path, const char*, const char* property, sd_bus_message* reply, void*,
             sd_bus_error* error) {
    std::string id;
    const Session* session = SessionAt(path, &id);
    if (!session) return sd_bus_error_set(error, "org.freedesktop.login1.NoSuchSession", "no such session");
    if (std::strcmp(property, "Audit") == 0) return sd_bus_message_append(reply, "u", session->audit);
    if (std::strcmp(property, "Id") == 0) return sd_bus_message_append(reply, "s", id.c_str());
    return sd_bus_message_append(reply, "(uo)", session->uid, "/org/freedesktop/login1/user/_0");
}

const sd_bus_vtable kManager[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("ListSessions", "", "a(susso)", ListSessions, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL("SessionNew", "so", 0),
    SD_BUS_SIGNAL("SessionRemoved", "so", 0),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable kSession[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Id", "s", Property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Audit", "u", Property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("User", "(uo)", Property, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_VTABLE_END,
};

bool Command(sd_bus* bus, const std::string& line) {
    std::istringstream words(line);
    std::string verb, id;
    words >> verb >> id;
    if (verb == "new") {
        Session session;
        words >> session.audit >> session.uid;
        sessions[id] = session;
        return sd_bus_emit_signal(bus, kPath, "org.freedesktop.login1.Manager", "SessionNew", "so", id.c_str(),
                                  PathOf(id).c_str()) >= 0;
    }
    if (verb == "remove") {
        sessions.erase(id);
        return sd_bus_emit_signal(bus, kPath, "org.freedesktop.login1.Manager", "SessionRemoved", "so", id.c_str(),
                                  PathOf(id).c_str()) >= 0;
    }
    if (verb == "vanish")
        return sd_bus_emit_signal(bus, kPath, "org.freedesktop.login1.Manager", "SessionNew", "so", id.c_str(),
                                  PathOf(id).c_str()) >= 0;
    return false;
}

}  // namespace

int main() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0 ||
        sd_bus_add_object_vtable(bus, nullptr, kPath, "org.freedesktop.login1.Manager", kManager, nullptr) < 0 ||
        sd_bus_add_fallback_vtable(bus, nullptr, kSessionPrefix, "org.freedesktop.login1.Session", kSession,
                                   FindSession, nullptr) < 0 ||
        sd_bus_request_name(bus, "org.freedesktop.login1", 0) < 0) {
        std::fprintf(stderr, "logind: cannot serve org.freedesktop.login1 on the system bus\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    std::string pending;
    for (;;) {
        // What sd-bus has read already is handled before waiting again.
        while (sd_bus_process(bus, nullptr) > 0) {
        }
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0},
                         {sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0}};
        poll(fds, 2, -1);
        if (!fds[0].revents) continue;
        char chunk[512];
        const ssize_t got = read(STDIN_FILENO, chunk, sizeof chunk);
        if (got <= 0) break;
        pending.append(chunk, static_cast<size_t>(got));
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            const bool done = Command(bus, line);
            sd_bus_flush(bus);
            std::printf("%s %s\n", done ? "ok" : "failed", line.c_str());
            std::fflush(stdout);
        }
    }
    sd_bus_flush_close_unref(bus);
    return 0;
}
