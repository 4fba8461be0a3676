// Wire format of the appliance peer: golden datagrams assembled by hand from
// the documented layout, encryption checked against OpenSSL called directly,
// and hostile input.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "sim/utm/wire.h"
#include "tests/support/hex.h"

namespace {

using Bytes = std::vector<uint8_t>;

using utm::test::FromHex;

const utm::Key kKey = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

utm::Decoded DecodeBytes(const Bytes& b, const utm::Key& key = kKey) {
    return utm::Decode(b.data(), b.size(), utm::Cipher(key));
}

// The agent's encryption, done here with OpenSSL directly: behind the IV, the
// clear bytes completed with zeros to whole blocks in CBC, then 8 zero bytes.
Bytes EncryptLikeAgent(Bytes clear, const utm::Key& key, const Bytes& iv) {
    const size_t length = clear.size();
    clear.resize((length + 15) & ~size_t(7), 0);
    std::memcpy(clear.data(), iv.data(), 8);
    DES_cblock k, chain;
    std::memcpy(k, key.data(), 8);
    std::memcpy(chain, iv.data(), 8);
    DES_key_schedule ks;
    DES_set_key_unchecked(&k, &ks);
    DES_ncbc_encrypt(clear.data() + 8, clear.data() + 8, static_cast<long>(clear.size() - 16), &ks, &chain,
                     DES_ENCRYPT);
    return clear;
}

Bytes DecryptWithOpenSsl(const Bytes& datagram, const utm::Key& key) {
    Bytes out = datagram;
    DES_cblock k, chain;
    std::memcpy(k, key.data(), 8);
    std::memcpy(chain, datagram.data(), 8);
    DES_key_schedule ks;
    DES_set_key_unchecked(&k, &ks);
    DES_ncbc_encrypt(datagram.data() + 8, out.data() + 8, static_cast<long>(datagram.size() - 8), &ks, &chain,
                     DES_DECRYPT);
    return out;
}

// A connection notification as the agent writes it, with names: alice in
// domain CORP, TCP open from 198.18.0.1:49152 to 93.184.216.34:443, session 3.
const std::string kNotificationHeader = "0000000000000000 02 00 0040 0000002a deadbeef";
const std::string kNotificationTlvs =
    "0002 0005 616c696365"    // UserName "alice"
    "0003 0004 434f5250"      // Domain Name "CORP"
    "0001 0001 01"            // Prot/op: TCP, open
    "0004 0002 c000"          // Port 49152
    "0005 0001 01"            // Num IPs 1
    "0006 0004 c6120001"      // IP 198.18.0.1
    "0009 0004 5db8d822"      // Dest IP 93.184.216.34
    "000a 0002 01bb"          // Dest Port 443
    "000c 0005 00 00000003";  // SessionId: user, 3

TEST(UtmKey, TextToBytesByTheAgentsRule) {
    utm::Key key;
    EXPECT_TRUE(utm::KeyFromText("0123456789ABCDEF", key));
    EXPECT_EQ(key, kKey);
    EXPECT_TRUE(utm::KeyFromText("0123456789abcdef", key));
    EXPECT_EQ(key, kKey);
    EXPECT_TRUE(utm::KeyFromText("abc", key));  // odd last digit ignored
    EXPECT_EQ(key, (utm::Key{0xAB, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(utm::KeyFromText("", key));
    EXPECT_EQ(key, utm::Key{});
    EXPECT_TRUE(utm::KeyFromText("1234", key));
    EXPECT_EQ(key, (utm::Key{0x12, 0x34, 0, 0, 0, 0, 0, 0}));
    // A non-digit counts as 0xF: first of a pair gives 0xF0 + second,
    // second of a pair gives first * 16 + 0xFF, modulo 256.
    EXPECT_TRUE(utm::KeyFromText("g11g", key));
    EXPECT_EQ(key, (utm::Key{0xF1, 0x0F, 0, 0, 0, 0, 0, 0}));
    // Longer than 16 characters: the first 16 count, and the cut is reported.
    EXPECT_FALSE(utm::KeyFromText("0123456789ABCDEF99", key));
    EXPECT_EQ(key, kKey);
}

TEST(UtmCipher, PublishedDesVectorAndCbcChaining) {
    // The classic worked example: key 133457799BBCDFF1, 0123456789ABCDEF
    // enciphers to 85E813540F0AB405; with a zero IV CBC equals ECB.
    const utm::Cipher cipher({0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1});
    const uint8_t zeroIv[8] = {};
    Bytes block = FromHex("0123456789abcdef");
    cipher.Encrypt(block.data(), block.data(), 8, zeroIv);
    EXPECT_EQ(block, FromHex("85e813540f0ab405"));
    cipher.Decrypt(block.data(), block.data(), 8, zeroIv);
    EXPECT_EQ(block, FromHex("0123456789abcdef"));

    // Two blocks under a non-zero IV agree with OpenSSL called directly.
    Bytes datagram = FromHex("0102030405060708 00112233445566778899aabbccddeeff");
    Bytes mine(datagram.begin() + 8, datagram.end());
    utm::Cipher(kKey).Encrypt(mine.data(), mine.data(), 16, datagram.data());
    Bytes withIv = datagram;
    std::copy(mine.begin(), mine.end(), withIv.begin() + 8);
    EXPECT_EQ(DecryptWithOpenSsl(withIv, kKey), datagram);
}

TEST(UtmDecode, AgentResetRequestGolden) {
    // 8 zero bytes, 02 00 00 04, the id, DE AD BE EF, 00 0F 00 00.
    const Bytes reset = FromHex("0000000000000000 02000004 00000001 deadbeef 000f0000");
    ASSERT_EQ(reset.size(), 24u);
    const utm::Decoded d = DecodeBytes(reset);
    EXPECT_EQ(d.status, utm::DecodeStatus::Ok);
    EXPECT_FALSE(d.ivRandom);
    EXPECT_TRUE(d.hasHeader);
    EXPECT_EQ(d.version, 2);
    EXPECT_EQ(d.msgType, utm::kNotification);
    EXPECT_EQ(d.tlvLength, 4);
    EXPECT_EQ(d.requestId, 1u);
    EXPECT_EQ(d.signature, 0xDEADBEEFu);
    EXPECT_EQ(d.extra, 0u);
    EXPECT_TRUE(d.reset);
    EXPECT_FALSE(d.ping);
    ASSERT_EQ(d.tlvs.size(), 1u);
    EXPECT_EQ(d.tlvs[0].type, utm::kTlvReset);
    EXPECT_STREQ(utm::KindOf(d), "reset");
    EXPECT_FALSE(utm::IsNotification(d)) << "the reset request is not answered";
}

TEST(UtmDecode, EncryptedNotificationWithNames) {
    const Bytes clear = FromHex(kNotificationHeader + kNotificationTlvs);
    ASSERT_EQ(clear.size(), 20u + 0x40);
    const Bytes iv = FromHex("01a1b2c3d4e5f607");
    const Bytes datagram = EncryptLikeAgent(clear, kKey, iv);
    ASSERT_EQ(datagram.size(), 96u);  // (84 + 15) & ~7

    const utm::Decoded d = DecodeBytes(datagram);
    EXPECT_EQ(d.status, utm::DecodeStatus::Ok) << d.malformed;
    EXPECT_TRUE(d.ivRandom);
    EXPECT_TRUE(d.agentLength);
    EXPECT_TRUE(d.tailZero);
    EXPECT_EQ(d.extra, 12u);
    EXPECT_EQ(d.requestId, 42u);
    EXPECT_EQ(d.msgType, utm::kNotification);
    EXPECT_EQ(d.userName, "alice");
    EXPECT_EQ(d.domainName, "CORP");
    EXPECT_FALSE(d.serverName);
    EXPECT_EQ(d.protOp, 0x01);
    EXPECT_EQ(d.port, 49152);
    EXPECT_EQ(d.numIps, 1);
    EXPECT_EQ(d.ips, std::vector<uint32_t>{0xC6120001u});
    EXPECT_EQ(d.destIp, 0x5DB8D822u);
    EXPECT_EQ(d.destPort, 443);
    ASSERT_TRUE(d.session);
    EXPECT_EQ(d.session->connectionType, 0);
    EXPECT_EQ(d.session->id, 3u);
    EXPECT_TRUE(d.unknown.empty());
    EXPECT_TRUE(d.oddLength.empty());
    EXPECT_STREQ(utm::KindOf(d), "connection");
    EXPECT_TRUE(utm::IsNotification(d));
    // The decoded view holds the IV and the clear bytes behind it.
    EXPECT_TRUE(std::equal(clear.begin() + 8, clear.end(), d.clear.begin() + 8));

    // Under another key the same bytes are garbage, reported, not trusted.
    const utm::Decoded wrong = DecodeBytes(datagram, utm::Key{1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_NE(wrong.status, utm::DecodeStatus::Ok);
    EXPECT_FALSE(wrong.userName && *wrong.userName == "alice");
}

TEST(UtmDecode, ClearLogoffAndServerName) {
    const Bytes datagram = FromHex(
        "0000000000000000 02 00 001c 00000063 deadbeef"
        "0002 0003 626f62"    // UserName "bob"
        "000b 0004 54533031"  // Server Name "TS01"
        "000e 0000"           // User Logged out
        "000c 0005 00 00000005");
    const utm::Decoded d = DecodeBytes(datagram);
    EXPECT_EQ(d.status, utm::DecodeStatus::Ok);
    EXPECT_EQ(d.requestId, 99u);
    EXPECT_EQ(d.userName, "bob");
    EXPECT_FALSE(d.domainName);
    EXPECT_EQ(d.serverName, "TS01");
    EXPECT_TRUE(d.loggedOut);
    EXPECT_STREQ(utm::KindOf(d), "logoff");
    EXPECT_TRUE(utm::IsNotification(d));
}

TEST(UtmDecode, PartialLastCipherBlockIsKeptToItsOwnBytes) {
    // An encrypted datagram cut to 20 bytes: behind the IV one whole block
    // (version, type, length, request id) and 4 bytes of the next. The
    // decoder must not read past the datagram, must reproduce the whole
    // block, and reports the odd length.
    const Bytes clear = FromHex("0000000000000000 02 00 0000 00000007 deadbeef 0000000000000000");
    Bytes enc = EncryptLikeAgent(clear, kKey, FromHex("0100000000000001"));
    enc.resize(20);
    const utm::Decoded d = DecodeBytes(enc);
    EXPECT_EQ(d.status, utm::DecodeStatus::Ok);
    EXPECT_EQ(d.version, 2);
    EXPECT_EQ(d.tlvLength, 0);
    EXPECT_EQ(d.requestId, 7u);
    EXPECT_FALSE(d.agentLength);
}

TEST(UtmBuild, AnswersByteByByte) {
    const Bytes clear = FromHex(kNotificationHeader + kNotificationTlvs);
    const utm::Decoded n = DecodeBytes(clear);
    ASSERT_EQ(n.status, utm::DecodeStatus::Ok);

    EXPECT_EQ(utm::AckAnswer(n).Clear(),
              FromHex("0000000000000000 02 02 0009 0000002a deadbeef 000c 0005 00 00000003"));

    // A notification without SessionId gets a bare response with its id.
    const utm::Decoded bare = DecodeBytes(FromHex("0000000000000000 02 00 0005 00000010 deadbeef 0001 0001 12"));
    EXPECT_EQ(utm::AckAnswer(bare).Clear(), FromHex("0000000000000000 02 02 0000 00000010 deadbeef"));

    EXPECT_EQ(utm::UnknownSessionAnswer(n).Clear(), FromHex("0000000000000000 02 02 0034 0000002a deadbeef"
                                                            "0001 0001 01"
                                                            "0004 0002 c000"
                                                            "0005 0001 01"
                                                            "0006 0004 c6120001"
                                                            "0009 0004 5db8d822"
                                                            "000a 0002 01bb"
                                                            "000c 0005 00 00000003"
                                                            "000d 0001 01"));

    EXPECT_EQ(utm::ErrorAnswer(n, utm::kErrConnectionNotFound).Clear(),
              FromHex("0000000000000000 02 02 000e 0000002a deadbeef 000c 0005 00 00000003 000d 0001 02"));

    EXPECT_EQ(utm::PingRequest(5).Clear(), FromHex("0000000000000000 02 01 0004 00000005 deadbeef 0010 0000"));
    EXPECT_EQ(utm::ResetRequest(6).Clear(), FromHex("0000000000000000 02 01 0004 00000006 deadbeef 000f 0000"));
    EXPECT_EQ(utm::SubnetRoute(0, 0x0A000000, 0xFF000000).Clear(),
              FromHex("0000000000000000 02 02 0011 00000000 deadbeef 000d 0001 04 0007 0008 0a000000 ff000000"));
    EXPECT_EQ(utm::RangeRoute(0, 0x0A010203, 0x0A010209).Clear(),
              FromHex("0000000000000000 02 02 0011 00000000 deadbeef 000d 0001 04 0008 0008 0a010203 0a010209"));
}

TEST(UtmBuild, EncryptedAnswerDecryptsWithOpenSsl) {
    const Bytes clear = FromHex(kNotificationHeader + kNotificationTlvs);
    const utm::Decoded n = DecodeBytes(clear);
    const utm::Builder ack = utm::AckAnswer(n);
    const Bytes iv = FromHex("0155667788990011");
    const Bytes enc = ack.Encrypted(utm::Cipher(kKey), iv.data());
    ASSERT_EQ(enc.size(), 40u);  // 29 clear bytes: (29 + 15) & ~7
    EXPECT_TRUE(std::equal(iv.begin(), iv.end(), enc.begin()));
    EXPECT_EQ(Bytes(enc.end() - 8, enc.end()), Bytes(8, 0));
    // Equal to the agent's way of encrypting the same clear bytes.
    EXPECT_EQ(enc, EncryptLikeAgent(ack.Clear(), kKey, iv));
    const Bytes dec = DecryptWithOpenSsl(Bytes(enc.begin(), enc.end() - 8), kKey);
    const Bytes expect = ack.Clear();
    EXPECT_TRUE(std::equal(expect.begin() + 8, expect.end(), dec.begin() + 8));
    EXPECT_EQ(Bytes(dec.begin() + 29, dec.end()), Bytes(3, 0)) << "the last block is completed with zeros";
    const utm::Decoded back = DecodeBytes(enc);
    EXPECT_EQ(back.status, utm::DecodeStatus::Ok);
    EXPECT_TRUE(back.agentLength && back.tailZero);
    ASSERT_TRUE(back.session);
    EXPECT_EQ(back.session->id, 3u);
}

TEST(UtmDecode, MalformedLayoutsAreReported) {
    struct Case {
        const char* name;
        std::string hex;
        const char* why;
        bool header;
    } cases[] = {
        {"empty", "", "datagram of 0 bytes is not longer than the IV", false},
        {"IV only", "0000000000000000", "datagram of 8 bytes is not longer than the IV", false},
        {"header cut", "0000000000000000 02 00 0004 000000", "header cut short: 7 bytes behind the IV, 12 needed",
         false},
        {"length past datagram", "0000000000000000 02 00 0004 00000001 deadbeef",
         "TLV area of 4 bytes runs past the datagram (0 bytes behind the header)", true},
        {"TLV header cut", "0000000000000000 02 00 0002 00000001 deadbeef 000f",
         "TLV header at offset 0 cut short: 2 bytes left", true},
        {"TLV value past area", "0000000000000000 02 00 0006 00000001 deadbeef 0002 000a 6162",
         "TLV type 2 at offset 0 declares 10 bytes, 2 left", true},
        // The bytes are in the datagram, but behind the declared TLV area.
        {"TLV value past declared area", "0000000000000000 02 00 0005 00000001 deadbeef 0004 0002 c000",
         "TLV type 4 at offset 0 declares 2 bytes, 1 left", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const utm::Decoded d = DecodeBytes(FromHex(c.hex));
        EXPECT_EQ(d.status, utm::DecodeStatus::Malformed);
        EXPECT_EQ(d.malformed, c.why);
        EXPECT_EQ(d.hasHeader, c.header);
        EXPECT_FALSE(utm::IsNotification(d));
    }
    // Fields before the fault are kept.
    const utm::Decoded d =
        DecodeBytes(FromHex("0000000000000000 02 00 000d 00000001 deadbeef 0004 0002 c000 000c 0005 00"));
    EXPECT_EQ(d.status, utm::DecodeStatus::Malformed);
    EXPECT_EQ(d.port, 49152);
    EXPECT_FALSE(d.session);
}

TEST(UtmDecode, UnknownOddAndRepeatedTlvs) {
    const utm::Decoded d =
        DecodeBytes(FromHex("0000000000000000 02 00 0044 00000009 deadbeef"
                            "0063 0003 abcdef"             // unknown type 99
                            "0004 0001 c0"                 // Port, too short: unusable
                            "000a 0003 01bb99"             // Dest Port, too long: leading bytes used
                            "0007 0007 0a000000ff0000"     // Subnet of 7 bytes: unusable
                            "0008 0008 c0a8010a c0a80114"  // IP Range 192.168.1.10-20
                            "0002 0001 61"                 // UserName "a"
                            "0002 0001 62"                 // UserName "b": the last one counts
                            "0006 0004 0a000001"           // two IPs, both kept
                            "0006 0004 0a000002"));
    EXPECT_EQ(d.status, utm::DecodeStatus::UnknownTlv);
    ASSERT_EQ(d.unknown.size(), 1u);
    EXPECT_EQ(d.unknown[0].type, 99);
    EXPECT_EQ(d.unknown[0].length, 3);
    EXPECT_FALSE(d.port);
    EXPECT_EQ(d.destPort, 443);
    EXPECT_TRUE(d.subnets.empty());
    ASSERT_EQ(d.ranges.size(), 1u);
    EXPECT_EQ(d.ranges[0].first, 0xC0A8010Au);
    EXPECT_EQ(d.ranges[0].second, 0xC0A80114u);
    ASSERT_EQ(d.oddLength.size(), 3u);
    EXPECT_EQ(d.oddLength[0].type, utm::kTlvPort);
    EXPECT_EQ(d.oddLength[1].type, utm::kTlvDestPort);
    EXPECT_EQ(d.oddLength[2].type, utm::kTlvSubnet);
    EXPECT_EQ(d.userName, "b");
    EXPECT_EQ(d.duplicates, std::vector<uint16_t>{utm::kTlvUserName});
    EXPECT_EQ(d.ips, (std::vector<uint32_t>{0x0A000001u, 0x0A000002u}));
    // Still a notification: the peer answers it and shows what it did not know.
    EXPECT_TRUE(utm::IsNotification(d));
}

TEST(UtmDecode, HostileInputNeverReadsOutsideTheDatagram) {
    // Random bytes, random bytes under a valid-looking header, and garbage
    // under the IV flag; the sanitizer builds watch every read.
    std::mt19937 rng(4242);
    const utm::Cipher cipher(kKey);
    const Bytes header = FromHex("0000000000000000 02 00");
    for (int i = 0; i < 30000; ++i) {
        const size_t n = rng() % 160;
        Bytes b(n);
        for (auto& x : b) x = static_cast<uint8_t>(rng());
        if (i % 3 == 0 && n >= header.size()) {
            std::copy(header.begin(), header.end(), b.begin());
            if (n >= 12) {  // a length that fits often
                const size_t area = n >= 20 ? rng() % (n - 19) : 0;
                b[10] = static_cast<uint8_t>(area >> 8);
                b[11] = static_cast<uint8_t>(area);
            }
        }
        if (i % 3 == 1 && n) b[0] = 1 + rng() % 255;  // encrypted garbage
        const utm::Decoded d = utm::Decode(b.data(), b.size(), cipher);
        ASSERT_EQ(d.clear.size(), n);
        for (const utm::TlvRef& t : d.tlvs) {
            ASSERT_LE(t.offset + t.length, n);
        }
        if (d.status == utm::DecodeStatus::Malformed) {
            ASSERT_FALSE(d.malformed.empty());
        }
    }
}

TEST(UtmAddress, StrictDottedQuad) {
    uint32_t a = 0;
    EXPECT_TRUE(utm::ParseIp("198.18.0.2", a));
    EXPECT_EQ(a, 0xC6120002u);
    EXPECT_EQ(utm::IpText(a), "198.18.0.2");
    EXPECT_TRUE(utm::ParseIp("0.0.0.0", a));
    EXPECT_EQ(a, 0u);
    EXPECT_TRUE(utm::ParseIp("255.255.255.255", a));
    EXPECT_EQ(a, 0xFFFFFFFFu);
    for (const char* bad :
         {"", "1.2.3", "1.2.3.4.", ".1.2.3", "1..2.3", "256.1.1.1", "1.2.3.4 ", "1.2.3.0004", "a.b.c.d", "1.2.3.-4"}) {
        EXPECT_FALSE(utm::ParseIp(bad, a)) << bad;
    }
}

}  // namespace
