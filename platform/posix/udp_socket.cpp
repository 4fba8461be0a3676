// UDP sockets on POSIX: BSD sockets; errors are errno values.
#include "platform/udp_socket.h"
#include "platform/utf8.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace bx::net {
namespace {

sockaddr_in SocketAddress(uint32_t address, uint16_t port) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    in.sin_addr.s_addr = htonl(address);
    return in;
}

uint32_t LastError() { return static_cast<uint32_t>(errno); }

// One datagram from socket `fd`, recvmsg with `flags`.
uint32_t Receive(int fd, void* buffer, size_t capacity, size_t& received, uint32_t& fromAddress, uint16_t& fromPort,
                 int flags) {
    received = 0;
    fromAddress = 0;
    fromPort = 0;
    sockaddr_in from{};
    iovec part{buffer, capacity};
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    const ssize_t length = recvmsg(fd, &message, flags);
    if (length < 0) return LastError();
    received = static_cast<size_t>(length);
    fromAddress = ntohl(from.sin_addr.s_addr);
    fromPort = ntohs(from.sin_port);
    // Winsock reports a cut datagram as an error; so does this seam.
    if ((message.msg_flags & MSG_TRUNC) != 0) return EMSGSIZE;
    return 0;
}

}  // namespace

uint32_t Startup(uint16_t /*version*/) { return 0; }
void Cleanup() {}

bool IsReceiveTimeout(uint32_t socketError) { return socketError == EAGAIN || socketError == EWOULDBLOCK; }
bool IsMessageTooLong(uint32_t socketError) { return socketError == EMSGSIZE; }
bool IsNothingWaiting(uint32_t socketError) { return socketError == EAGAIN || socketError == EWOULDBLOCK; }

UdpSocket::~UdpSocket() { Close(); }

uint32_t UdpSocket::Create() {
    Close();
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return LastError();
    handle_.store(fd);
    return 0;
}

uint32_t UdpSocket::SetReceiveTimeout(uint32_t milliseconds) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(milliseconds / 1000u);
    tv.tv_usec = static_cast<suseconds_t>((milliseconds % 1000u) * 1000u);
    if (setsockopt(static_cast<int>(handle_.load()), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return LastError();
    return 0;
}

uint32_t UdpSocket::SetReuseAddress(bool on) {
    const int value = on ? 1 : 0;
    if (setsockopt(static_cast<int>(handle_.load()), SOL_SOCKET, SO_REUSEADDR, &value, sizeof value) != 0)
        return LastError();
    return 0;
}

uint32_t UdpSocket::SetExclusiveAddress() { return SetReuseAddress(false); }

uint32_t UdpSocket::SetReceiveBuffer(uint32_t bytes) {
    const int fd = static_cast<int>(handle_.load());
    const int value = static_cast<int>(std::min<uint32_t>(bytes, INT_MAX / 2));
#ifdef SO_RCVBUFFORCE
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &value, sizeof value) == 0) return 0;
#endif
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &value, sizeof value) != 0) return LastError();
    return 0;
}

uint32_t UdpSocket::Bind(uint32_t address, uint16_t port) {
    const sockaddr_in in = SocketAddress(address, port);
    if (bind(static_cast<int>(handle_.load()), reinterpret_cast<const sockaddr*>(&in), sizeof in) != 0)
        return LastError();
    return 0;
}

uint32_t UdpSocket::LocalPort(uint16_t& port) const {
    port = 0;
    sockaddr_in in{};
    socklen_t length = sizeof in;
    if (getsockname(static_cast<int>(handle_.load()), reinterpret_cast<sockaddr*>(&in), &length) != 0)
        return LastError();
    port = ntohs(in.sin_port);
    return 0;
}

uint32_t UdpSocket::SendTo(const void* data, size_t length, uint32_t address, uint16_t port) {
    const sockaddr_in to = SocketAddress(address, port);
    const ssize_t sent = sendto(static_cast<int>(handle_.load()), data, length, MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (sent < 0) return LastError();
    return 0;
}

uint32_t UdpSocket::ReceiveFrom(void* buffer, size_t capacity, size_t& received, uint32_t& fromAddress,
                                uint16_t& fromPort) {
    return Receive(static_cast<int>(handle_.load()), buffer, capacity, received, fromAddress, fromPort, 0);
}

uint32_t UdpSocket::ReceiveWaiting(void* buffer, size_t capacity, size_t& received, uint32_t& fromAddress,
                                   uint16_t& fromPort) {
    return Receive(static_cast<int>(handle_.load()), buffer, capacity, received, fromAddress, fromPort, MSG_DONTWAIT);
}

void UdpSocket::Shutdown() {
    const intptr_t fd = handle_.load();
    // An unconnected UDP socket answers ENOTCONN, but the shutdown still
    // takes effect and wakes a blocked receive, which then returns 0 bytes.
    if (fd != kInvalid) shutdown(static_cast<int>(fd), SHUT_RDWR);
}

void UdpSocket::Close() {
    const intptr_t fd = handle_.exchange(kInvalid);
    if (fd != kInvalid) close(static_cast<int>(fd));
}

uint32_t ResolveHostName(const std::wstring& name, uint32_t& address) {
    address = 0;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    const int result = getaddrinfo(bx::Utf8FromWide(name).c_str(), nullptr, &hints, &list);
    if (result != 0) {
        switch (result) {
            case EAI_AGAIN:
                return kTryAgain;
            case EAI_FAIL:
                return kNoRecovery;
#ifdef EAI_NODATA
            case EAI_NODATA:
                return kNoData;
#endif
            case EAI_SYSTEM:
                return errno != 0 ? static_cast<uint32_t>(errno) : kNoRecovery;
            default:
                return kHostNotFound;
        }
    }
    uint32_t error = kNoData;
    for (const addrinfo* entry = list; entry; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET || !entry->ai_addr) continue;
        address = ntohl(reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr);
        error = 0;
        break;
    }
    freeaddrinfo(list);
    return error;
}

}  // namespace bx::net
