#include "tests/support/win/loopback_http_server.h"

#include <ws2tcpip.h>

#include <cstdlib>

namespace bx::test {

namespace {

struct WinsockUser {
    WinsockUser() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~WinsockUser() { WSACleanup(); }
};

bx::win::UniqueSocket ListenOnLoopback(int backlog, unsigned short& port) {
    static WinsockUser winsock;
    bx::win::UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!s) return s;
    SetHandleInformation(reinterpret_cast<HANDLE>(s.get()), HANDLE_FLAG_INHERIT, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (bind(s.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s.get(), backlog) != 0 ||
        getsockname(s.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return bx::win::UniqueSocket();
    port = ntohs(address.sin_port);
    return s;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

std::string HttpRequest::Header(const std::string& name) const {
    for (const std::string& header : headers) {
        size_t colon = header.find(':');
        if (colon == std::string::npos || Lower(header.substr(0, colon)) != Lower(name)) continue;
        size_t start = header.find_first_not_of(' ', colon + 1);
        return start == std::string::npos ? std::string() : header.substr(start);
    }
    return std::string();
}

LoopbackHttpServer::LoopbackHttpServer() {
    listener_ = ListenOnLoopback(16, port_);
    if (listener_) thread_.reset(CreateThread(nullptr, 0, Serve, this, 0, nullptr));
}

LoopbackHttpServer::~LoopbackHttpServer() {
    InterlockedExchange(&stopping_, 1);
    if (thread_) WaitForSingleObject(thread_.get(), 10000);
    listener_.reset();
}

DWORD WINAPI LoopbackHttpServer::Serve(void* self) {
    auto* server = static_cast<LoopbackHttpServer*>(self);
    while (!server->stopping_) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(server->listener_.get(), &readable);
        timeval wait{0, 100000};
        if (select(0, &readable, nullptr, nullptr, &wait) <= 0) continue;
        bx::win::UniqueSocket client(accept(server->listener_.get(), nullptr, nullptr));
        if (!client) continue;
        // A program the test starts meanwhile must not inherit the connection
        // (and keep it open after this server closed it).
        SetHandleInformation(reinterpret_cast<HANDLE>(client.get()), HANDLE_FLAG_INHERIT, 0);
        {
            bx::win::CriticalSectionLock hold(server->lock_);
            ++server->connections_;
        }
        server->ServeOne(client.get());
    }
    return 0;
}

void LoopbackHttpServer::ServeOne(SOCKET client) {
    DWORD timeout = 5000;
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    std::string data;
    char buffer[4096];
    size_t headerEnd = std::string::npos;
    while ((headerEnd = data.find("\r\n\r\n")) == std::string::npos) {
        int got = recv(client, buffer, sizeof buffer, 0);
        if (got <= 0) return;
        data.append(buffer, got);
    }
    HttpRequest request;
    size_t start = 0;
    while (start < headerEnd) {
        size_t end = data.find("\r\n", start);
        std::string line = data.substr(start, end - start);
        if (request.requestLine.empty())
            request.requestLine = line;
        else
            request.headers.push_back(line);
        start = end + 2;
    }
    size_t length = std::strtoul(request.Header("Content-Length").c_str(), nullptr, 10);
    request.body = data.substr(headerEnd + 4);
    while (request.body.size() < length) {
        int got = recv(client, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        request.body.append(buffer, got);
    }
    const char answer[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    send(client, answer, sizeof answer - 1, 0);
    bx::win::CriticalSectionLock hold(lock_);
    requests_.push_back(request);
}

bool LoopbackHttpServer::WaitForRequests(size_t count, DWORD timeoutMs) const {
    ULONGLONG start = GetTickCount64();
    for (;;) {
        if (Requests().size() >= count) return true;
        if (GetTickCount64() - start >= timeoutMs) return false;
        Sleep(20);
    }
}

std::vector<HttpRequest> LoopbackHttpServer::Requests() const {
    bx::win::CriticalSectionLock hold(lock_);
    return requests_;
}

size_t LoopbackHttpServer::Connections() const {
    bx::win::CriticalSectionLock hold(lock_);
    return connections_;
}

StalledListener::StalledListener() {
    listener_ = ListenOnLoopback(0, port_);
    if (!listener_) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port_);
    // More connections than the queue holds; the later ones stay unanswered.
    for (int i = 0; i < 4; ++i) {
        bx::win::UniqueSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        u_long nonBlocking = 1;
        ioctlsocket(s.get(), FIONBIO, &nonBlocking);
        connect(s.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers_.push_back(std::move(s));
    }
    Sleep(200);
}

StalledListener::~StalledListener() = default;

unsigned short FreeLoopbackPort() {
    unsigned short port = 0;
    ListenOnLoopback(1, port);  // closed again at once
    return port;
}

}  // namespace bx::test
