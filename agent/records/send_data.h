// send_data_t: the record every datagram to the appliance is built from
// (connection and logoff notifications, the reset request, ping answers and
// resends). Records live in CBufferPool's segments; Prepare gives each use the
// initial values below.
#pragma once
#include <cstdint>
#include <string>

#include "agent/identity/sid.h"

namespace bx {

// operation
constexpr uint32_t kOperationOpen = 0;
constexpr uint32_t kOperationClose = 1;
constexpr uint32_t kOperationNone = 2;

// protocol (the low byte of the driver's value)
constexpr uint8_t kProtocolTcp = 1;
constexpr uint8_t kProtocolUdp = 2;

// kind
constexpr uint32_t kKindNone = 0;
constexpr uint32_t kKindResetRequest = 1;
constexpr uint32_t kKindPingResponse = 2;
constexpr uint32_t kKindConnection = 3;
constexpr uint32_t kKindLogoff = 4;
constexpr uint32_t kKindResend = 5;

constexpr uint16_t kNoLocalPort = 0xFFFF;
constexpr uint32_t kNoSession = 0xFFFFFFFF;

}  // namespace bx

struct send_data_t {
    uint32_t operation = bx::kOperationNone;
    uint8_t protocol = 0;
    uint32_t local_ip = 0;                   // host order; 0: report the machine's addresses
    uint16_t local_port = bx::kNoLocalPort;  // network order
    uint32_t request_id = 0;                 // set at the first sending
    uint32_t remote_ip = 0;                  // host order; 0: none
    uint16_t remote_port = 0;                // network order
    CSid sid;                                // the connection's user
    uint32_t kind = bx::kKindNone;
    std::wstring user;  // logoff and resend records
    std::wstring domain;
    uint32_t session_id = bx::kNoSession;
    int64_t sent_time = 0;    // seconds since 1970 of the last sending
    uint32_t send_count = 0;  // resends so far; 0: the next send takes a new request id
    uint16_t reply_port = 0;  // ping answers: the appliance's port
};
