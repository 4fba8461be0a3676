// UDP sockets on Windows: Winsock; errors are WSAGetLastError() values.
#include "platform/udp_socket.h"

#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>

namespace bx::net {
namespace {

sockaddr_in SocketAddress(uint32_t address, uint16_t port) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    in.sin_addr.s_addr = htonl(address);
    return in;
}

SOCKET AsSocket(intptr_t handle) { return static_cast<SOCKET>(handle); }

uint32_t LastError() {
    const int error = WSAGetLastError();
    return error != 0 ? static_cast<uint32_t>(error) : static_cast<uint32_t>(WSAEINVAL);
}

}  // namespace

uint32_t Startup(uint16_t version) {
    WSADATA data;
    // WSAStartup returns its error; WSAGetLastError is not set for it.
    return static_cast<uint32_t>(WSAStartup(version, &data));
}

void Cleanup() { WSACleanup(); }

bool IsReceiveTimeout(uint32_t socketError) { return socketError == WSAETIMEDOUT; }
bool IsMessageTooLong(uint32_t socketError) { return socketError == WSAEMSGSIZE; }
bool IsNothingWaiting(uint32_t socketError) { return socketError == WSAEWOULDBLOCK; }

UdpSocket::~UdpSocket() { Close(); }

uint32_t UdpSocket::Create() {
    Close();
    const SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return LastError();
    handle_.store(static_cast<intptr_t>(s));
    return 0;
}

uint32_t UdpSocket::SetReceiveTimeout(uint32_t milliseconds) {
    const DWORD value = milliseconds;
    if (setsockopt(AsSocket(handle_.load()), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&value),
                   sizeof value) == SOCKET_ERROR)
        return LastError();
    return 0;
}

uint32_t UdpSocket::SetReuseAddress(bool on) {
    const BOOL value = on ? TRUE : FALSE;
    if (setsockopt(AsSocket(handle_.load()), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&value),
                   sizeof value) == SOCKET_ERROR)
        return LastError();
    return 0;
}

uint32_t UdpSocket::SetExclusiveAddress() {
    const BOOL value = TRUE;
    if (setsockopt(AsSocket(handle_.load()), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&value),
                   sizeof value) == SOCKET_ERROR)
        return LastError();
    return 0;
}

uint32_t UdpSocket::SetReceiveBuffer(uint32_t bytes) {
    const int value = static_cast<int>(bytes > 0x7FFFFFFFu ? 0x7FFFFFFFu : bytes);
    if (setsockopt(AsSocket(handle_.load()), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&value),
                   sizeof value) == SOCKET_ERROR)
        return LastError();
    return 0;
}

uint32_t UdpSocket::Bind(uint32_t address, uint16_t port) {
    const sockaddr_in in = SocketAddress(address, port);
    if (bind(AsSocket(handle_.load()), reinterpret_cast<const sockaddr*>(&in), sizeof in) == SOCKET_ERROR)
        return LastError();
    return 0;
}

uint32_t UdpSocket::LocalPort(uint16_t& port) const {
    port = 0;
    sockaddr_in in{};
    int length = sizeof in;
    if (getsockname(AsSocket(handle_.load()), reinterpret_cast<sockaddr*>(&in), &length) == SOCKET_ERROR)
        return LastError();
    port = ntohs(in.sin_port);
    return 0;
}

uint32_t UdpSocket::SendTo(const void* data, size_t length, uint32_t address, uint16_t port) {
    if (length > 0x7FFFFFFF) return WSAEMSGSIZE;
    const sockaddr_in to = SocketAddress(address, port);
    if (sendto(AsSocket(handle_.load()), static_cast<const char*>(data), static_cast<int>(length), 0,
               reinterpret_cast<const sockaddr*>(&to), sizeof to) == SOCKET_ERROR)
        return LastError();
    return 0;
}

uint32_t UdpSocket::ReceiveFrom(void* buffer, size_t capacity, size_t& received, uint32_t& fromAddress,
                                uint16_t& fromPort) {
    received = 0;
    fromAddress = 0;
    fromPort = 0;
    if (capacity > 0x7FFFFFFF) capacity = 0x7FFFFFFF;
    sockaddr_in from{};
    int fromLength = sizeof from;
    const int length = recvfrom(AsSocket(handle_.load()), static_cast<char*>(buffer), static_cast<int>(capacity), 0,
                                reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (length == SOCKET_ERROR) {
        const uint32_t error = LastError();
        if (error == WSAEMSGSIZE) {
            // The buffer was filled with the datagram's first bytes.
            received = capacity;
            fromAddress = ntohl(from.sin_addr.s_addr);
            fromPort = ntohs(from.sin_port);
        }
        return error;
    }
    received = static_cast<size_t>(length);
    fromAddress = ntohl(from.sin_addr.s_addr);
    fromPort = ntohs(from.sin_port);
    return 0;
}

uint32_t UdpSocket::ReceiveWaiting(void* buffer, size_t capacity, size_t& received, uint32_t& fromAddress,
                                   uint16_t& fromPort) {
    received = 0;
    fromAddress = 0;
    fromPort = 0;
    // FIONREAD: the bytes waiting. An empty datagram alone reads as nothing
    // and is taken by the next receive that waits.
    u_long waiting = 0;
    if (ioctlsocket(AsSocket(handle_.load()), FIONREAD, &waiting) == SOCKET_ERROR) return LastError();
    if (waiting == 0) return WSAEWOULDBLOCK;
    return ReceiveFrom(buffer, capacity, received, fromAddress, fromPort);
}

void UdpSocket::Shutdown() {
    // shutdown() does not end a recvfrom that is already waiting; closing the
    // socket does (the call fails with WSAEINTR).
    Close();
}

void UdpSocket::Close() {
    const intptr_t s = handle_.exchange(kInvalid);
    if (s != kInvalid) closesocket(AsSocket(s));
}

uint32_t ResolveHostName(const std::wstring& name, uint32_t& address) {
    address = 0;
    ADDRINFOW hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    ADDRINFOW* list = nullptr;
    const int result = GetAddrInfoW(name.c_str(), nullptr, &hints, &list);
    if (result != 0) return static_cast<uint32_t>(result);  // a WSA error number
    uint32_t error = kNoData;
    for (const ADDRINFOW* entry = list; entry; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET || !entry->ai_addr) continue;
        address = ntohl(reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr);
        error = 0;
        break;
    }
    FreeAddrInfoW(list);
    return error;
}

}  // namespace bx::net
