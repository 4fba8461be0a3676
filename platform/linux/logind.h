// logind, the session manager of systemd, on the system's D-Bus (Linux only):
// the sessions it knows, and its signals when a session begins or ends.
//
// A logind session names its audit session ("Audit") and its user ("User");
// the agent keys sessions by the audit session id. The system bus is the one
// sd_bus_open_system finds (DBUS_SYSTEM_BUS_ADDRESS, else the standard
// socket), so that tests can put a stand-in of logind on a bus of their own.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace bx::logind {

struct Session {
    std::string id;          // logind's session id ("3", "c2")
    std::string objectPath;  // /org/freedesktop/login1/session/...
    uint32_t auditId = 0;    // 0 when logind has none for it
    uid_t uid = 0;
};

struct Change {
    bool removed = false;  // SessionRemoved; else SessionNew
    Session session;       // a removed session's auditId is not asked for (0)
    std::string error;     // SessionNew: why its audit id could not be read
};

class Client {
public:
    Client();
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Connects to the system bus, subscribes to logind's SessionNew and
    // SessionRemoved and asks logind for its sessions. 0 when logind
    // answered; else an error (no bus, or no logind on it) with `error`.
    uint32_t Open(std::vector<Session>& sessions, std::string& error);
    bool IsOpen() const;
    void Close();

    // What to wait for before calling Process: the bus's descriptor, the
    // poll events and the longest wait (milliseconds; -1 none).
    int Fd() const;
    short Events() const;
    int TimeoutMs() const;

    // Handles what arrived on the bus: each session change is handed to
    // onChange. 0, or the bus's error (the connection is lost: Close, and
    // Open again later).
    uint32_t Process(const std::function<void(const Change&)>& onChange, std::string& error);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace bx::logind
