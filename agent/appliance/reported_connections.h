// CReportedConnections: what the agent itself reported about its local
// addresses, for the connection manager's listener thread. The snooper
// implements it over its address table.
//
// When the appliance answers "Unknown SessionID", the agent sends the
// connection again with its user's names; the connection must be one the
// agent reported in that session, and the record is built from the agent's own
// knowledge of it, never from the answer, whose sender may be anyone who can
// put the appliance's address on a datagram.
#pragma once
#include <cstdint>

#include "agent/records/send_data.h"

class CReportedConnections {
public:
    // Fills `record` (a fresh one from the pool) as the connection
    // notification (kind 3) of what the agent last reported for this local
    // address (host order), port (network order) and protocol (1 TCP, any
    // other value UDP) in `sessionId`: an open while the address is in use,
    // else its close. False, and the record untouched, when the agent
    // reported nothing there in that session. Called on the listener thread
    // while the snooper's thread changes the table: the implementation locks.
    // May throw what copying a SID throws.
    virtual bool FillReported(uint32_t localIp, uint16_t localPort, uint8_t protocol, uint32_t sessionId,
                              send_data_t& record) const = 0;

protected:
    ~CReportedConnections() = default;
};
