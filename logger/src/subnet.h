// The syslog sink's subnet rules. Addresses and masks are IPv4 values in
// network byte order, as the socket calls give and take them.
#pragma once
#include <cstdint>

namespace bx::log {

// The mask of the local address's class, for a host whose adapters cannot be
// listed: class A (first octet 0 to 127) 255.0.0.0, class B (128 to 191)
// 255.255.0.0, class C (192 to 223) 255.255.255.0. Classes D and E
// (multicast, reserved) form no subnet of their own: 255.255.255.255.
inline uint32_t ClassNetMask(uint32_t localAddress) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&localAddress);
    const unsigned first = bytes[0];  // network byte order: the first octet first
    uint32_t mask = 0;
    unsigned char* m = reinterpret_cast<unsigned char*>(&mask);
    const int ones = first < 128 ? 1 : first < 192 ? 2 : first < 224 ? 3 : 4;
    for (int i = 0; i < ones; ++i) m[i] = 0xFF;
    return mask;
}

// True when the server lies in the local address's subnet.
inline bool InLocalSubnet(uint32_t localAddress, uint32_t server, uint32_t mask) {
    return ((localAddress ^ server) & mask) == 0;
}

// True when the server is the subnet's broadcast address (every host bit set).
inline bool IsSubnetBroadcast(uint32_t server, uint32_t mask) { return ~(mask | server) == 0; }

}  // namespace bx::log
