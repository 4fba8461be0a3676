#include "sim/utm/udp_endpoint.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim/utm/wire.h"

namespace utm {
namespace {

void CloseFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

}  // namespace

UdpEndpoint::~UdpEndpoint() {
    CloseFd(sock_);
    CloseFd(wakeRead_);
    CloseFd(wakeWrite_);
}

bool UdpEndpoint::Create(std::string& error) {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + strerror(errno);
        return false;
    }
    wakeRead_ = fds[0];
    wakeWrite_ = fds[1];
    sock_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock_ < 0) {
        error = std::string("socket: ") + strerror(errno);
        return false;
    }
    return true;
}

bool UdpEndpoint::Bind(uint32_t address, uint16_t port, std::string& error) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(address);
    sa.sin_port = htons(port);
    if (bind(sock_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        error = "bind " + IpText(address) + ":" + std::to_string(port) + ": " + strerror(errno);
        return false;
    }
    socklen_t len = sizeof sa;
    getsockname(sock_, reinterpret_cast<sockaddr*>(&sa), &len);
    boundPort_ = ntohs(sa.sin_port);
    return true;
}

void UdpEndpoint::Wake() {
    if (wakeWrite_ < 0) return;
    const char c = 's';
    ssize_t ignored = write(wakeWrite_, &c, 1);
    (void)ignored;
}

}  // namespace utm
