// Test fixture of the Snooper: settings with verbose logging, a Snooper whose
// lines go to a log file the test reads back, driver records built by hand,
// and the send queue read back as the dispatcher would take it.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "agent/snoop/snooper.h"
#include "tests/support/conmgr_fixture.h"
#include "tests/support/log_capture.h"
#include "tests/support/settings_fixture.h"

namespace bx::test {

// Provided per platform (snooper_posix_test.cpp, snooper_win_test.cpp):
// two SIDs whose accounts resolve, made resolvable first where needed, and a
// session whose user the session queries answer.
void PrepareSnooperAccounts();
void ForgetSnooperAccounts();
const CSid& UserSid();
const CSid& OtherSid();
void SetSessionUser(uint32_t sessionId, const std::wstring& user, const std::wstring& domain);

// Wide text as ASCII for messages; other characters become '?'.
inline std::string AsciiText(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += static_cast<char>(c < 128 ? c : '?');
    return out;
}

// A port in network byte order, as the driver reports it.
inline uint16_t NetPort(uint16_t hostOrder) {
    uint8_t bytes[2] = {static_cast<uint8_t>(hostOrder >> 8), static_cast<uint8_t>(hostOrder)};
    uint16_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

inline snoop_event_t OpenRecord(uint32_t localIp, uint16_t localPort, uint32_t remoteIp, uint16_t remotePort,
                                uint32_t session, uint64_t fileObject, const CSid& sid) {
    snoop_event_t record;
    std::memset(&record, 0, sizeof record);
    record.protocol = SNOOP_PROTOCOL_TCP;
    record.event_type = SNOOP_EVENT_OPEN;
    record.local_ip = localIp;
    record.local_port = NetPort(localPort);
    record.remote_ip = remoteIp;
    record.remote_port = NetPort(remotePort);
    record.process_id = 1234;
    record.session_id = session;
    record.file_object = fileObject;
    std::memcpy(record.sid, sid.Data(), sid.Length());
    return record;
}

inline snoop_event_t CleanupRecord(uint32_t localIp, uint16_t localPort, uint64_t fileObject) {
    snoop_event_t record;
    std::memset(&record, 0, sizeof record);
    record.event_type = SNOOP_EVENT_CLEANUP;
    record.local_ip = localIp;
    record.local_port = NetPort(localPort);
    record.file_object = fileObject;
    return record;
}

class SnooperTest : public SettingsTest {
protected:
    static constexpr uint32_t kLocal = 0x0A010203u;  // 10.1.2.3
    static constexpr uint16_t kLocalPort = 49152;
    static constexpr uint32_t kRemote = 0x5DB8D822u;  // 93.184.216.34
    static constexpr uint16_t kRemotePort = 443;
    static constexpr uint32_t kRemote2 = 0xC6336402u;  // 198.51.100.2

    void SetUp() override {
        SettingsTest::SetUp();
        ClearKey(kSendDataPoolKeyPath);
        Dword(L"verbose", 1);
        PrepareSnooperAccounts();
        snooper = std::make_unique<Snooper>();
        snooper->SetLogger(log.Logger());
    }
    void TearDown() override {
        if (snooper) {
            while (send_data_t* record = Take()) Release(record);
            snooper->SetLogger(nullptr);
            snooper.reset();
        }
        ForgetSnooperAccounts();
        ClearKey(kSendDataPoolKeyPath);
        SettingsTest::TearDown();
    }

    // The record goes through the read buffer, as the driver leaves it there.
    int HandleThroughBuffer(const snoop_event_t& record) {
        std::memcpy(snooper->EventBuffer(), &record, sizeof record);
        return snooper->HandleEvent();
    }
    void Handle(const snoop_event_t& record) { ASSERT_EQ(1, HandleThroughBuffer(record)); }

    send_data_t* Take() { return snooper->ConnectionManager().Queue().Dequeue(); }
    void Release(send_data_t* record) { snooper->Pool().Release(record); }
    uint32_t Queued() { return snooper->ConnectionManager().Queue().Count(); }

    LogCapture log{CaseFile(".log")};
    std::unique_ptr<Snooper> snooper;
};

}  // namespace bx::test
