// UDP sockets over IPv4, and host-name resolution.
//
// Windows: Winsock (WSAStartup, socket, setsockopt, bind, sendto,
// recvfrom, ioctlsocket, closesocket, getaddrinfo). POSIX: BSD sockets. Errors are the
// platform's socket error numbers, read right after the failing call:
// WSAGetLastError() on Windows, errno on POSIX. Addresses are 32-bit values
// in host byte order (127.0.0.1 is 0x7F000001), ports in host order.
//
// A UdpSocket owns its socket and closes it when destroyed; it is neither
// copyable nor movable. One thread may be blocked in ReceiveFrom while another
// calls Shutdown to end that wait.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace bx::net {

constexpr uint32_t kAnyAddress = 0;  // INADDR_ANY
// Host-name resolution failures (the Winsock numbers, on every platform).
constexpr uint32_t kHostNotFound = 11001;  // WSAHOST_NOT_FOUND
constexpr uint32_t kTryAgain = 11002;      // WSATRY_AGAIN
constexpr uint32_t kNoRecovery = 11003;    // WSANO_RECOVERY
constexpr uint32_t kNoData = 11004;        // WSANO_DATA

// Winsock versions (the low byte is the major version, as MAKEWORD makes it).
constexpr uint16_t kSockets11 = 0x0101;  // the connection manager's
constexpr uint16_t kSockets22 = 0x0202;  // the snooper's

// The one socket-library start-up: Winsock at the version asked for, and its
// counterpart; every successful Startup needs one Cleanup. The result is
// WSAStartup's own error. POSIX: nothing to do, 0.
uint32_t Startup(uint16_t version = kSockets11);
void Cleanup();

// True for the error a receive gives when its time-out passed without data
// (WSAETIMEDOUT on Windows, EAGAIN on POSIX).
bool IsReceiveTimeout(uint32_t socketError);
// True for the error of a datagram longer than the receive buffer (the part
// that fitted was received, the rest is lost): WSAEMSGSIZE / EMSGSIZE.
bool IsMessageTooLong(uint32_t socketError);
// True for the error ReceiveWaiting gives when no datagram waits
// (WSAEWOULDBLOCK on Windows, EAGAIN on POSIX).
bool IsNothingWaiting(uint32_t socketError);

class UdpSocket {
public:
    UdpSocket() = default;
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // An IPv4 datagram socket (closing any the object held): 0 or the error.
    uint32_t Create();
    bool IsOpen() const { return handle_.load() != kInvalid; }

    // SO_RCVTIMEO in milliseconds (0: wait without limit).
    uint32_t SetReceiveTimeout(uint32_t milliseconds);
    // SO_REUSEADDR.
    uint32_t SetReuseAddress(bool on);
    // Before Bind: no other socket may bind the same port, on any address,
    // whatever options it sets (Windows: SO_EXCLUSIVEADDRUSE; POSIX:
    // SO_REUSEADDR off, which only sockets of the same user can get past
    // with SO_REUSEPORT).
    uint32_t SetExclusiveAddress();
    // The receive buffer, in bytes: datagrams that arrive while nobody reads
    // wait there, and are lost once it is full. POSIX: SO_RCVBUFFORCE where
    // the process may (root), else SO_RCVBUF, which the system caps at
    // net.core.rmem_max; Windows: SO_RCVBUF.
    uint32_t SetReceiveBuffer(uint32_t bytes);
    uint32_t Bind(uint32_t address, uint16_t port);
    // The port the socket is bound to (after Bind, or after the first
    // SendTo of an unbound socket).
    uint32_t LocalPort(uint16_t& port) const;

    // Sends one datagram of `length` bytes. 0 or the error.
    uint32_t SendTo(const void* data, size_t length, uint32_t address, uint16_t port);

    // Receives one datagram into buffer (capacity bytes): 0 with its length
    // and sender, or the error. A longer datagram is cut to capacity and
    // reported with the message-too-long error (on every platform).
    uint32_t ReceiveFrom(void* buffer, size_t capacity, size_t& received, uint32_t& fromAddress, uint16_t& fromPort);
    // As ReceiveFrom, but without a wait: when no datagram waits, the
    // nothing-waiting error at once. Only for the socket's one reader (a
    // datagram another thread took in between would make it wait). POSIX:
    // MSG_DONTWAIT; Windows: FIONREAD, then recvfrom when it names a datagram.
    uint32_t ReceiveWaiting(void* buffer, size_t capacity, size_t& received, uint32_t& fromAddress, uint16_t& fromPort);

    // Ends a ReceiveFrom that another thread is blocked in, and makes later
    // receives fail at once. POSIX: shutdown(); the descriptor stays owned
    // until Close. Windows: closesocket(), the only call that ends a blocked
    // recvfrom there.
    void Shutdown();
    // Releases the socket. No other thread may be using it.
    void Close();

private:
    static constexpr intptr_t kInvalid = -1;  // INVALID_SOCKET / -1
    std::atomic<intptr_t> handle_{kInvalid};
};

// Resolves a host name to its first IPv4 address (getaddrinfo, IPv4 only):
// 0 with the address, or one of the resolution errors above.
uint32_t ResolveHostName(const std::wstring& name, uint32_t& address);

}  // namespace bx::net
