// The peer's UDP socket with its wake pipe: the socket and the read end of
// the pipe are polled together, so that Wake() (from a signal handler or
// another thread) ends a wait at once. Both the answering peer and the
// counting peer receive through one of these.
#pragma once
#include <cstdint>
#include <string>

namespace utm {

class UdpEndpoint {
public:
    UdpEndpoint() = default;
    ~UdpEndpoint();
    UdpEndpoint(const UdpEndpoint&) = delete;
    UdpEndpoint& operator=(const UdpEndpoint&) = delete;

    // Makes the wake pipe and an unbound UDP socket; false with `error` set
    // (everything made so far is closed again by the destructor).
    bool Create(std::string& error);
    // Binds the socket (port 0 takes a free one) and reads the bound port.
    bool Bind(uint32_t address, uint16_t port, std::string& error);
    // Ends the current or next wait; safe in a signal handler (a full pipe
    // already means "wake").
    void Wake();

    int Socket() const { return sock_; }
    int WakeFd() const { return wakeRead_; }
    uint16_t BoundPort() const { return boundPort_; }

private:
    int sock_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    uint16_t boundPort_ = 0;
};

}  // namespace utm
