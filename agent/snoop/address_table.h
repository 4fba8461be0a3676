// The snooper's address table: what the last open of each local address and
// port said.
#pragma once
#include <cstdint>
#include <unordered_map>

#include "agent/identity/sid.h"

struct AddressEntry {
    uint8_t protocol = 0;      // 1 TCP, else UDP
    uint32_t local_ip = 0;     // host order
    uint16_t local_port = 0;   // network order
    uint32_t remote_ip = 0;    // host order
    uint16_t remote_port = 0;  // network order
    uint64_t file_object = 0;
    uint32_t session_id = 0;
    CSid sid;
    bool in_use = false;
    bool reported = false;  // the open was handed to the send queue
};

// What the snooper knows of each local address and port it saw opened, by
// Snooper::AddressKey. Entries stay once made (in_use tells open from ended);
// a hash table, as every record looks its address up on the service thread
// and a busy server's table holds tens of thousands of ports. Its entries
// stay where they are as it grows.
using AddressTable = std::unordered_map<uint64_t, AddressEntry>;
