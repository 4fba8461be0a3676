// Test helpers for the connection manager and its parts: records from a real
// send-data pool, file names of the running case (the log is read back with
// LogCapture).
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "agent/appliance/reported_connections.h"
#include "agent/records/buffer_pool.h"
#include "platform/udp_socket.h"
#include "tests/support/log_capture.h"
#include "tests/support/settings_fixture.h"

namespace bx::test {

// A file name of the running test's own, so that cases may run in parallel.
inline std::string CaseFile(const char* suffix) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->test_suite_name()) + "." + info->name() + suffix;
}

// A pool of one segment of `objects` records that does not grow.
inline void MakeSmallPool(CBufferPool& pool, uint32_t objects) {
    BufferPoolSettings settings;
    settings.objectsPerSegment = objects;
    settings.segmentsStart = 1;
    settings.lowMark = 1;
    settings.highMark = 0;
    ASSERT_EQ(0u, pool.Create(settings));
}

inline send_data_t* NewRecord(CBufferPool& pool, uint32_t requestId = 0) {
    void* storage = pool.Allocate();
    if (!storage) return nullptr;
    send_data_t* record = CBufferPool::Prepare(storage);
    record->request_id = requestId;
    return record;
}

// What the agent reported, as the snooper's address table answers for it:
// one connection, found by its local address, port, protocol and session.
struct OneReportedConnection : CReportedConnections {
    send_data_t connection;
    bool FillReported(uint32_t localIp, uint16_t localPort, uint8_t protocol, uint32_t sessionId,
                      send_data_t& record) const override {
        if (localIp != connection.local_ip || localPort != connection.local_port || protocol != connection.protocol ||
            sessionId != connection.session_id)
            return false;
        record = connection;
        return true;
    }
};

// Polls `condition` until it holds; false after `timeout`.
inline bool Eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A UDP port free on this host's wildcard address at this moment.
inline uint16_t FreeUdpPort() {
    net::Startup();
    uint16_t port = 0;
    {
        net::UdpSocket probe;
        if (probe.Create() == 0 && probe.Bind(net::kAnyAddress, 0) == 0) probe.LocalPort(port);
    }
    net::Cleanup();
    return port;
}

}  // namespace bx::test
