// An encrypted response enciphered by OpenSSL's DES-CBC (independent of the
// agent's own cipher) is read by the parser under the key in the settings.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "agent/protocol/protocol_parser.h"
#include "tests/support/settings_fixture.h"

namespace {

class ParserOpenSsl : public bx::test::SettingsTest {};

TEST_F(ParserOpenSsl, ResponseEncryptedByOpenSslParses) {
    String(L"key", L"133457799BBCDFF1");
    const uint8_t key[8] = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};
    const uint8_t iv[8] = {0x01, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
    // Clear body: header (Response, length 24, id 0x01020304, DE AD BE EF),
    // UserName "carol", Port 3389, SessionId Non User 12; 36 bytes.
    const uint8_t body[] = {0x02, 0x02, 0x00, 0x18, 0x01, 0x02, 0x03, 0x04, 0xDE, 0xAD, 0xBE, 0xEF,
                            0x00, 0x02, 0x00, 0x05, 'c',  'a',  'r',  'o',  'l',  0x00, 0x04, 0x00,
                            0x02, 0x0D, 0x3D, 0x00, 0x0C, 0x00, 0x05, 0x01, 0x00, 0x00, 0x00, 0x0C};
    // OpenSSL zero-pads the last block: 40 bytes of cipher text.
    std::vector<uint8_t> datagram(8 + 40 + 8, 0);
    std::memcpy(datagram.data(), iv, 8);
    DES_cblock keyBlock, ivBlock;
    std::memcpy(keyBlock, key, 8);
    std::memcpy(ivBlock, iv, 8);
    DES_key_schedule schedule;
    DES_set_key_unchecked(&keyBlock, &schedule);
    DES_ncbc_encrypt(body, datagram.data() + 8, sizeof body, &schedule, &ivBlock, DES_ENCRYPT);

    CHVNProtocolParser parser(nullptr);
    ASSERT_EQ(0u, parser.Parse(datagram.data(), datagram.size(), L"UTM Resp: "));
    EXPECT_TRUE(parser.WasEncrypted());
    EXPECT_EQ(0x01020304u, parser.RequestId());
    EXPECT_EQ(0x1014u, parser.PresentBits());
    EXPECT_STREQ("carol", parser.UserName());
    EXPECT_EQ(3389, parser.Port());
    EXPECT_EQ(12u, parser.SessionId());
    EXPECT_EQ(1, parser.ConnectionType());

    // The same bytes under a key one bit off are refused.
    String(L"key", L"133457799BBCDFF3");
    CHVNProtocolParser other(nullptr);
    EXPECT_EQ(13u, other.Parse(datagram.data(), datagram.size(), L"UTM Resp: "));
}

}  // namespace
