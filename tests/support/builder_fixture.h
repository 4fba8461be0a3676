// Test helper: a packet builder with everything it needs (the connection
// manager owns the same parts), logging into a file of the test's own.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "agent/crypto/iv_random.h"
#include "agent/identity/session_map.h"
#include "agent/identity/session_users.h"
#include "agent/identity/user_to_id.h"
#include "agent/protocol/packet_builder.h"
#include "agent/protocol/user_classifier.h"
#include "tests/support/log_capture.h"
#include "tests/support/settings_fixture.h"

namespace bx::test {

class BuilderTest : public SettingsTest {
protected:
    explicit BuilderTest(const std::string& logFile) : log(logFile) {}

    void SetUp() override {
        SettingsTest::SetUp();
        users.SetLogger(log.Logger());
        classifier.SetLogger(log.Logger());
        builder.SetLogger(log.Logger());
        SeedIvRandom(1);
    }

    // The notification built for `record` into a buffer that held other
    // bytes before (0xCC): the expected bytes the cases compare it with show
    // any the builder left in place.
    std::vector<uint8_t> Built(send_data_t& record, bool& encrypt) {
        buffer.assign(kBuildBufferSize, 0xCC);
        size_t n = builder.BuildNotification(record, buffer.data(), encrypt);
        return std::vector<uint8_t>(buffer.begin(), buffer.begin() + n);
    }

    LogCapture log;
    SessionMap sessions;
    CUserToID users;
    CUserClassifier classifier{sessions};
    std::atomic<uint32_t> counter{1};
    CHVNPacketBuilder builder{users, classifier, counter};
    std::vector<uint8_t> buffer;
};

}  // namespace bx::test
