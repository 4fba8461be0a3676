// Connection notifications natively: accounts come from the table the test
// fills, and the encrypted body is deciphered with OpenSSL, not our DES.
// The low-level DES interface is the simplest independent check.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <gtest/gtest.h>
#include <openssl/des.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "agent/crypto/des.h"
#include "platform/host_facts.h"
#include "platform/posix/account_table.h"
#include "platform/posix/version_table.h"
#include "tests/support/builder_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Natively the program has no version resource: answer the test's.
class VersionEnvironment : public ::testing::Environment {
    void SetUp() override {
        bx::host::ProductVersion v;
        v.parts[0] = 1, v.parts[1] = 2, v.parts[2] = 3, v.parts[3] = 4;
        bx::host::SetProductVersionForTests(&v);
    }
};
const auto* const kVersionEnvironment = ::testing::AddGlobalTestEnvironment(new VersionEnvironment);

void SetPort(uint16_t& field, uint8_t high, uint8_t low) {
    const uint8_t bytes[2] = {high, low};  // network order
    std::memcpy(&field, bytes, 2);
}

class Connections : public bx::test::BuilderTest {
protected:
    Connections() : BuilderTest("packet_builder_posix_test.log") {}
    void SetUp() override {
        BuilderTest::SetUp();
        bx::accounts::ClearTableAccounts();
        bx::accounts::SetTableAccount(L"S-1-5-21-1-2-3-1001", {L"alice", L"CORP", bx::accounts::SidType::User});
        bx::accounts::SetTableAccount(L"S-1-5-18", {L"SYSTEM", L"NT AUTHORITY", bx::accounts::SidType::WellKnownGroup});
    }
    void TearDown() override {
        bx::accounts::ClearTableAccounts();
        BuilderTest::TearDown();
    }
    // Alice opens TCP 192.168.1.10:49152 -> 93.184.216.34:443 in session 2.
    static send_data_t AliceOpens() {
        send_data_t record;
        record.kind = bx::kKindConnection;
        record.operation = bx::kOperationOpen;
        record.protocol = bx::kProtocolTcp;
        record.local_ip = 0xC0A8010A;
        SetPort(record.local_port, 0xC0, 0x00);
        record.remote_ip = 0x5DB8D822;
        SetPort(record.remote_port, 0x01, 0xBB);
        record.sid = CSid::FromString(L"S-1-5-21-1-2-3-1001");
        record.session_id = 2;
        return record;
    }
    // The appliance acknowledged session 2 for alice.
    void AliceKnown() {
        users.Update(2, L"alice", L"CORP", AliceOpens().sid);
        users.MarkKnown(2);
    }
};

// Every TLV of an open notification with names, in order.
const Bytes kAliceOpenClear = {
    0x01, 0x29, 0x23, 0xBE, 0x84, 0xE1, 0x6C, 0xD6,                          // random IV
    0x02, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x01, 0xDE, 0xAD, 0xBE, 0xEF,  // header: 64 bytes of TLVs, id 1
    0x00, 0x02, 0x00, 0x05, 'a',  'l',  'i',  'c',  'e',                     // UserName
    0x00, 0x03, 0x00, 0x04, 'C',  'O',  'R',  'P',                           // Domain Name
    0x00, 0x01, 0x00, 0x01, 0x01,                                            // Prot/op: open TCP
    0x00, 0x04, 0x00, 0x02, 0xC0, 0x00,                                      // Port 49152
    0x00, 0x05, 0x00, 0x01, 0x01,                                            // Num IPs 1
    0x00, 0x06, 0x00, 0x04, 0xC0, 0xA8, 0x01, 0x0A,                          // IP 192.168.1.10
    0x00, 0x09, 0x00, 0x04, 0x5D, 0xB8, 0xD8, 0x22,                          // Dest IP 93.184.216.34
    0x00, 0x0A, 0x00, 0x02, 0x01, 0xBB,                                      // Dest Port 443
    0x00, 0x0C, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x02,                    // SessionId: user, 2
};

}  // namespace

TEST_F(Connections, DomainUserOpenWithNamesDecryptsWithOpenSsl) {
    send_data_t record = AliceOpens();
    bool encrypt = false;
    Bytes clear = Built(record, encrypt);
    EXPECT_EQ(kAliceOpenClear, clear);
    ASSERT_TRUE(encrypt);
    EXPECT_EQ(1u, record.request_id);

    // What leaves the agent: encrypted with the key, deciphered here by OpenSSL.
    const uint8_t key[8] = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};
    bx::DesKeySchedule schedule;
    bx::DesSetKey(key, schedule);
    size_t sent = bx::DesEncryptDatagram(buffer.data(), clear.size(), buffer.size(), schedule);
    ASSERT_EQ(96u, sent);  // 8 IV + 80 cipher text + 8 zero bytes
    DES_key_schedule ks;
    DES_cblock keyBlock;
    std::memcpy(keyBlock, key, 8);
    DES_set_key_unchecked(&keyBlock, &ks);
    DES_cblock iv;
    std::memcpy(iv, buffer.data(), 8);
    Bytes body(80);
    DES_ncbc_encrypt(buffer.data() + 8, body.data(), 80, &ks, &iv, DES_DECRYPT);
    EXPECT_EQ(Bytes(clear.begin() + 8, clear.end()), Bytes(body.begin(), body.begin() + 76));
    EXPECT_EQ(Bytes(4, 0), Bytes(body.begin() + 76, body.end()));  // the last block was completed with zeros
    EXPECT_EQ(Bytes(8, 0), Bytes(buffer.begin() + 88, buffer.begin() + 96));
}

TEST_F(Connections, KnownSessionGoesInClearWithoutNames) {
    AliceKnown();
    send_data_t record = AliceOpens();
    bool encrypt = true;
    Bytes expected = {0,    0,    0,    0,    0,    0,    0,    0,  // NULL IV
                      0x02, 0x00, 0x00, 0x2F, 0x00, 0x00, 0x00, 0x01, 0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x01, 0x00,
                      0x01, 0x01, 0x00, 0x04, 0x00, 0x02, 0xC0, 0x00, 0x00, 0x05, 0x00, 0x01, 0x01, 0x00, 0x06,
                      0x00, 0x04, 0xC0, 0xA8, 0x01, 0x0A, 0x00, 0x09, 0x00, 0x04, 0x5D, 0xB8, 0xD8, 0x22, 0x00,
                      0x0A, 0x00, 0x02, 0x01, 0xBB, 0x00, 0x0C, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x02};
    EXPECT_EQ(expected, Built(record, encrypt));
    EXPECT_FALSE(encrypt);
}

TEST_F(Connections, CloseWithoutRemoteAddressHasNoDestination) {
    AliceKnown();
    send_data_t record = AliceOpens();
    record.operation = bx::kOperationClose;
    record.remote_ip = 0;
    record.remote_port = 0;
    bool encrypt = true;
    Bytes expected = {0,    0,    0,    0,    0,    0,    0,    0,    0x02, 0x00, 0x00, 0x21, 0x00, 0x00,
                      0x00, 0x01, 0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x01, 0x00, 0x01, 0x11, 0x00, 0x04, 0x00,
                      0x02, 0xC0, 0x00, 0x00, 0x05, 0x00, 0x01, 0x01, 0x00, 0x06, 0x00, 0x04, 0xC0, 0xA8,
                      0x01, 0x0A, 0x00, 0x0C, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x02};
    EXPECT_EQ(expected, Built(record, encrypt));
}

TEST_F(Connections, AnyAddressListsTheHostsAddresses) {
    AliceKnown();
    send_data_t record = AliceOpens();
    record.local_ip = 0;
    record.remote_ip = 0;
    bool encrypt = true;
    Bytes out = Built(record, encrypt);
    std::vector<uint32_t> addresses;
    ASSERT_EQ(0u, bx::host::LocalIpv4Addresses(addresses));
    ASSERT_LE(addresses.size(), 10u);
    // After Prot/op (5) and Port (6): Num IPs, then one IP TLV per address.
    size_t at = 20 + 5 + 6;
    ASSERT_EQ(Bytes({0x00, 0x05, 0x00, 0x01, static_cast<uint8_t>(addresses.size())}),
              Bytes(out.begin() + at, out.begin() + at + 5));
    at += 5;
    for (uint32_t a : addresses) {
        EXPECT_EQ(Bytes({0x00, 0x06, 0x00, 0x04, static_cast<uint8_t>(a >> 24), static_cast<uint8_t>(a >> 16),
                         static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a)}),
                  Bytes(out.begin() + at, out.begin() + at + 8));
        EXPECT_NE(0x7F000001u, a);
        at += 8;
    }
    EXPECT_EQ(Bytes({0x00, 0x0C, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x02}), Bytes(out.begin() + at, out.end()));
}

// A session id given to another user does not keep the acknowledgement of
// the one before: alice acknowledged in session 2, then logoff and bob in
// session 2 (or bob inside alice's session, "run as"): bob's first
// notification carries bob's names.
TEST_F(Connections, AnotherUserOfAnAcknowledgedSessionIsReportedWithNames) {
    bx::accounts::SetTableAccount(L"S-1-5-21-1-2-3-1002", {L"bob", L"CORP", bx::accounts::SidType::User});
    send_data_t bob = AliceOpens();
    bob.sid = CSid::FromString(L"S-1-5-21-1-2-3-1002");
    send_data_t logoff;
    logoff.kind = bx::kKindLogoff;
    logoff.operation = bx::kOperationClose;
    logoff.user = L"alice";
    logoff.domain = L"CORP";
    logoff.session_id = 2;
    const Bytes bobsNames = {0x00, 0x02, 0x00, 0x03, 'b', 'o', 'b', 0x00, 0x03, 0x00, 0x04, 'C', 'O', 'R', 'P'};
    bool encrypt = false;
    for (bool logsOff : {true, false}) {
        AliceKnown();
        send_data_t alice = AliceOpens();
        Built(alice, encrypt);
        EXPECT_FALSE(encrypt);
        if (logsOff) Built(logoff, encrypt);
        bob.send_count = 0;
        const Bytes out = Built(bob, encrypt);
        EXPECT_TRUE(encrypt) << (logsOff ? "after logoff" : "run as");
        EXPECT_EQ(bobsNames, Bytes(out.begin() + 20, out.begin() + 35));
    }
    // After a logoff the session is forgotten, whoever comes next.
    AliceKnown();
    Built(logoff, encrypt);
    CUserInfo info;
    EXPECT_EQ(1168u, users.Get(2, info));
}

TEST_F(Connections, LocalSystemAlwaysCarriesNamesAsANonUser) {
    send_data_t record = AliceOpens();
    record.sid = CSid::FromString(L"S-1-5-18");
    record.session_id = 1;
    bool encrypt = false;
    Bytes out = Built(record, encrypt);
    EXPECT_TRUE(encrypt);
    // UserName "SYSTEM", then Server Name (type 11): not a domain user.
    EXPECT_EQ(Bytes({0x00, 0x02, 0x00, 0x06, 'S', 'Y', 'S', 'T', 'E', 'M', 0x00, 0x0B, 0x00, 0x0C}),
              Bytes(out.begin() + 20, out.begin() + 34));
    EXPECT_EQ(Bytes({0x00, 0x0C, 0x00, 0x05, 0x01, 0x00, 0x00, 0x00, 0x01}), Bytes(out.end() - 9, out.end()));
    // A non-user connection is not entered in the session table.
    CUserInfo info;
    EXPECT_EQ(1168u, users.Get(1, info));
}

TEST_F(Connections, FirstSendingsTakeNewIdsAndRetransmissionsKeepThem) {
    AliceKnown();
    send_data_t first = AliceOpens(), second = AliceOpens();
    bool encrypt;
    Built(first, encrypt);
    Built(second, encrypt);
    EXPECT_EQ(1u, first.request_id);
    EXPECT_EQ(2u, second.request_id);
    first.send_count = 1;
    Bytes again = Built(first, encrypt);
    EXPECT_EQ(Bytes({0, 0, 0, 1}), Bytes(again.begin() + 12, again.begin() + 16));
    EXPECT_EQ(3u, counter.load());
}
