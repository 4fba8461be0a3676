// The agent's datagrams byte for byte. Expected bytes are written out by hand
// from the datagram layout, never produced by the code under test.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "agent/crypto/des.h"
#include "platform/host_facts.h"
#include "tests/support/builder_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The first seven draws after seeding with 1 are 41, 18467, 6334, 26500,
// 19169, 15724, 11478: the IV is 01 followed by their low bytes.
const Bytes kIvAfterSeed1 = {0x01, 0x29, 0x23, 0xBE, 0x84, 0xE1, 0x6C, 0xD6};

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Header(uint8_t type, uint16_t length, uint32_t id) {
    return {0x02,
            type,
            static_cast<uint8_t>(length >> 8),
            static_cast<uint8_t>(length),
            static_cast<uint8_t>(id >> 24),
            static_cast<uint8_t>(id >> 16),
            static_cast<uint8_t>(id >> 8),
            static_cast<uint8_t>(id),
            0xDE,
            0xAD,
            0xBE,
            0xEF};
}

Bytes Text(uint16_t type, const std::string& text) {
    Bytes out = {0x00, static_cast<uint8_t>(type), 0x00, static_cast<uint8_t>(text.size())};
    out.reserve(out.size() + text.size());  // GCC 12 warns falsely (-Warray-bounds) on the insert without it
    out.insert(out.end(), text.begin(), text.end());
    return out;
}

Bytes HostAddressTlvs() {
    std::vector<uint32_t> addresses;
    bx::host::LocalIpv4Addresses(addresses);
    Bytes out = {0x00, 0x05, 0x00, 0x01, static_cast<uint8_t>(addresses.size())};
    for (uint32_t a : addresses)
        out.insert(out.end(), {0x00, 0x06, 0x00, 0x04, static_cast<uint8_t>(a >> 24), static_cast<uint8_t>(a >> 16),
                               static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a)});
    return out;
}

const Bytes kNullIv(8, 0x00);

}  // namespace

class Builder : public bx::test::BuilderTest {
protected:
    Builder() : BuilderTest("packet_builder_test.log") {}
    static send_data_t Logoff(uint32_t session) {
        send_data_t record;
        record.kind = bx::kKindLogoff;
        record.operation = bx::kOperationClose;
        record.local_port = 0;
        record.user = L"alice";
        record.domain = L"CORP";
        record.session_id = session;
        return record;
    }
};

TEST_F(Builder, ResetRequestIsTwentyFourBytes) {
    Bytes out(bx::kSmallBuildBufferSize, 0xCC);
    ASSERT_EQ(24u, builder.BuildResetRequest(out.data()));
    out.resize(24);
    EXPECT_EQ(Bytes({0,    0,    0,    0,    0,    0,    0,    0,    0x02, 0x00, 0x00, 0x04,
                     0x00, 0x00, 0x00, 0x01, 0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x0F, 0x00, 0x00}),
              out);
    ASSERT_EQ(24u, builder.BuildResetRequest(out.data()));
    EXPECT_EQ(0x02, out[15]);  // the counter moves on
}

TEST_F(Builder, LogoffCarriesNamesUntilTheSessionIsKnown) {
    send_data_t record = Logoff(2);
    bool encrypt = false;
    Bytes expected = Cat({kIvAfterSeed1,
                          Header(0, 30, 1),
                          Text(2, "alice"),
                          Text(3, "CORP"),
                          {0x00, 0x0E, 0x00, 0x00},                                  // User Logged out
                          {0x00, 0x0C, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x02}});  // SessionId
    EXPECT_EQ(expected, Built(record, encrypt));
    EXPECT_TRUE(encrypt);
    EXPECT_EQ(1u, record.request_id);
}

TEST_F(Builder, LogoffOfAKnownSessionGoesInClear) {
    users.Update(2, L"alice", L"CORP");
    users.MarkKnown(2);
    send_data_t record = Logoff(2);
    bool encrypt = true;
    Bytes expected = Cat(
        {kNullIv, Header(0, 13, 1), {0x00, 0x0E, 0x00, 0x00}, {0x00, 0x0C, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x02}});
    EXPECT_EQ(expected, Built(record, encrypt));
    EXPECT_FALSE(encrypt);
}

TEST_F(Builder, ResendUsesTheRecordsNamesAndKeepsItsRequestIdWhenRetransmitted) {
    send_data_t record;
    record.kind = bx::kKindResend;
    record.operation = bx::kOperationOpen;
    record.protocol = bx::kProtocolUdp;
    record.local_ip = 0x0A000001;            // 10.0.0.1
    const uint8_t port53[2] = {0x00, 0x35};  // network order, as the driver reports ports
    std::memcpy(&record.local_port, port53, 2);
    record.remote_ip = 0;
    record.user = L"b\u00f6b";  // UTF-8: 62 C3 B6 62
    record.domain = L"CORP";
    record.session_id = 0x01020304;
    record.request_id = 77;
    record.send_count = 2;  // a retransmission keeps its id
    bool encrypt = false;
    Bytes expected = Cat({kIvAfterSeed1,
                          Header(0, 49, 77),
                          Text(2,
                               "b\xC3\xB6"
                               "b"),
                          Text(3, "CORP"),
                          {0x00, 0x01, 0x00, 0x01, 0x02},        // UDP, open
                          {0x00, 0x04, 0x00, 0x02, 0x00, 0x35},  // port 53
                          {0x00, 0x05, 0x00, 0x01, 0x01},        // one IP
                          {0x00, 0x06, 0x00, 0x04, 0x0A, 0x00, 0x00, 0x01},
                          {0x00, 0x0C, 0x00, 0x05, 0x00, 0x01, 0x02, 0x03, 0x04}});
    EXPECT_EQ(expected, Built(record, encrypt));
    EXPECT_TRUE(encrypt);
    EXPECT_EQ(77u, record.request_id);
    EXPECT_EQ(1u, counter.load());
}

TEST_F(Builder, PingAnswerNamesTheVersionAndTheHostAddresses) {
    Bytes out(bx::kSmallBuildBufferSize, 0xCC);
    size_t n = builder.BuildPingAnswer(0xA1B2C3D4, out.data());
    Bytes tlvs = Cat({Text(16, "Version: 1.2.3.4"), HostAddressTlvs()});
    Bytes expected = Cat({kNullIv, Header(2, static_cast<uint16_t>(tlvs.size()), 0xA1B2C3D4), tlvs});
    out.resize(n);
    EXPECT_EQ(expected, out);
    EXPECT_EQ(1u, counter.load());  // a ping answer takes no new id
}

// The encrypted datagram as the dispatcher sends it: the body deciphers to the
// clear bytes under the key, with 8 zero bytes behind the cipher text.
TEST_F(Builder, EncryptedLogoffDecryptsToItsClearBytes) {
    send_data_t record = Logoff(9);
    bool encrypt = false;
    Bytes clear = Built(record, encrypt);
    ASSERT_TRUE(encrypt);
    const uint8_t key[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    bx::DesKeySchedule schedule;
    bx::DesSetKey(key, schedule);
    size_t sent = bx::DesEncryptDatagram(buffer.data(), clear.size(), buffer.size(), schedule);
    ASSERT_EQ((clear.size() + 15) / 8 * 8, sent);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 8), kIvAfterSeed1);  // the IV goes in clear
    EXPECT_EQ(Bytes(8, 0), Bytes(buffer.begin() + sent - 8, buffer.begin() + sent));
    Bytes body(sent - 16);
    bx::DesCbc(buffer.data() + 8, body.data(), body.size(), schedule, buffer.data(), bx::DesDirection::Decrypt);
    EXPECT_EQ(Bytes(clear.begin() + 8, clear.end()), Bytes(body.begin(), body.begin() + clear.size() - 8));
}
