// Test helpers for programs that post over HTTP: a small HTTP server on
// 127.0.0.1 with a port of its own that records every request it receives
// (request line, headers, body) and answers 200, and a loopback listener
// whose accept queue is kept full, so that a connection to it hangs the way a
// connection to an unreachable host does.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "platform/win/socket_handle.h"

namespace bx::test {

struct HttpRequest {
    std::string requestLine;           // "POST /path HTTP/1.1"
    std::vector<std::string> headers;  // "Name: value", as received
    std::string body;                  // Content-Length bytes
    // The value of a header (name compared without regard to case); empty when absent.
    std::string Header(const std::string& name) const;
};

class LoopbackHttpServer {
public:
    LoopbackHttpServer();  // listening on 127.0.0.1:<Port()>; Port() is 0 when that failed
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    unsigned short Port() const { return port_; }
    // Waits until at least `count` requests arrived; false on time-out.
    bool WaitForRequests(size_t count, DWORD timeoutMs) const;
    std::vector<HttpRequest> Requests() const;
    size_t Connections() const;  // accepted connections, with or without a request

private:
    static DWORD WINAPI Serve(void* self);
    void ServeOne(SOCKET client);

    bx::win::UniqueSocket listener_;
    unsigned short port_ = 0;
    bx::win::UniqueHandle thread_;
    mutable bx::win::CriticalSection lock_;
    std::vector<HttpRequest> requests_;
    size_t connections_ = 0;
    volatile LONG stopping_ = 0;
};

// A listener on 127.0.0.1 that never accepts, its accept queue filled by
// connections of its own: a further connection attempt gets no answer.
class StalledListener {
public:
    StalledListener();
    ~StalledListener();
    StalledListener(const StalledListener&) = delete;
    StalledListener& operator=(const StalledListener&) = delete;
    unsigned short Port() const { return port_; }

private:
    bx::win::UniqueSocket listener_;
    std::vector<bx::win::UniqueSocket> fillers_;
    unsigned short port_ = 0;
};

// A TCP port of 127.0.0.1 free at the moment of the call.
unsigned short FreeLoopbackPort();

}  // namespace bx::test
