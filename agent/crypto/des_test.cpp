// DES-CBC: published known-answer vectors, the datagram length rule and the
// bounds of the receive path.
#include "agent/crypto/des.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Hex(const std::string& text) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::string ToHex(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

bx::DesKeySchedule Schedule(const std::vector<uint8_t>& key) {
    bx::DesKeySchedule ks;
    bx::DesSetKey(key.data(), ks);
    return ks;
}

const uint8_t kZeroIv[8] = {};

struct Vector {
    const char* key;
    const char* plain;
    const char* cipher;
};

// Single blocks (ECB = CBC with a zero IV over one block): the worked
// example, FIPS 81's "Now is the time for all " blocks, and entries of the
// NBS validation tables (variable plaintext, variable key, permutation
// operation and substitution table tests).
const Vector kVectors[] = {
    {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
    {"0E329232EA6D0D73", "8787878787878787", "0000000000000000"},
    {"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"},
    {"0123456789ABCDEF", "68652074696D6520", "6A271787AB8883F9"},
    {"0123456789ABCDEF", "666F7220616C6C20", "893D51EC4B563B53"},
    {"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},
    {"0101010101010101", "4000000000000000", "DD7F121CA5015619"},
    {"0101010101010101", "2000000000000000", "2E8653104F3834EA"},
    {"8001010101010101", "0000000000000000", "95A8D72813DAA94D"},
    {"4001010101010101", "0000000000000000", "0EEC1487DD8C26D5"},
    {"1046913489980131", "0000000000000000", "88D55E54F54C97B4"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "690F5B0D9A26939B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "7A389D10354BD271"},
    {"07A1133E4A0B2686", "0248D43806F67172", "868EBB51CAB4599A"},
    {"3849674C2602319E", "51454B582DDF440A", "7178876E01F19B2A"},
};

TEST(DesBlock, PublishedVectorsEncryptAndDecrypt) {
    for (const Vector& v : kVectors) {
        SCOPED_TRACE(std::string("key ") + v.key + " plain " + v.plain);
        const auto ks = Schedule(Hex(v.key));
        const auto plain = Hex(v.plain);
        uint8_t out[8];
        bx::DesCbc(plain.data(), out, 8, ks, kZeroIv, bx::DesDirection::Encrypt);
        EXPECT_EQ(ToHex(out, 8), v.cipher);
        uint8_t back[8];
        bx::DesCbc(out, back, 8, ks, kZeroIv, bx::DesDirection::Decrypt);
        EXPECT_EQ(ToHex(back, 8), v.plain);
    }
}

TEST(DesBlock, ParityBitsOfTheKeyAreIgnored) {
    auto key = Hex("133457799BBCDFF1");
    for (auto& b : key) b ^= 0x01;  // every parity bit flipped
    const auto ks = Schedule(key);
    const auto plain = Hex("0123456789ABCDEF");
    uint8_t out[8];
    bx::DesCbc(plain.data(), out, 8, ks, kZeroIv, bx::DesDirection::Encrypt);
    EXPECT_EQ(ToHex(out, 8), "85E813540F0AB405");
}

TEST(DesCbc, Fips81Example) {
    // Key 0123456789ABCDEF, IV 1234567890ABCDEF, "Now is the time for all ".
    const auto ks = Schedule(Hex("0123456789ABCDEF"));
    const auto iv = Hex("1234567890ABCDEF");
    const std::string text = "Now is the time for all ";
    std::vector<uint8_t> buf(text.begin(), text.end());
    const std::string expected = "E5C7CDDE872BF27C43E934008C389C0F683788499A7C05F6";

    std::vector<uint8_t> out(buf.size());
    bx::DesCbc(buf.data(), out.data(), buf.size(), ks, iv.data(), bx::DesDirection::Encrypt);
    EXPECT_EQ(ToHex(out.data(), out.size()), expected);

    // In place gives the same bytes and leaves the IV untouched.
    bx::DesCbc(buf.data(), buf.data(), buf.size(), ks, iv.data(), bx::DesDirection::Encrypt);
    EXPECT_EQ(ToHex(buf.data(), buf.size()), expected);
    EXPECT_EQ(ToHex(iv.data(), 8), "1234567890ABCDEF");

    bx::DesCbc(buf.data(), buf.data(), buf.size(), ks, iv.data(), bx::DesDirection::Decrypt);
    EXPECT_EQ(std::string(buf.begin(), buf.end()), text);
}

TEST(DesCbc, PartialLastBlockIsZeroCompletedOnEncrypt) {
    const auto ks = Schedule(Hex("0123456789ABCDEF"));
    const auto iv = Hex("1234567890ABCDEF");
    // 13 bytes: the second block is the 5 bytes followed by 3 zero bytes,
    // whatever lies behind the input.
    std::vector<uint8_t> padded = Hex("0102030405060708090A0B0C0D000000");
    std::vector<uint8_t> ragged = Hex("0102030405060708090A0B0C0DEEEEEE");
    uint8_t a[16], b[16];
    bx::DesCbc(padded.data(), a, 16, ks, iv.data(), bx::DesDirection::Encrypt);
    bx::DesCbc(ragged.data(), b, 13, ks, iv.data(), bx::DesDirection::Encrypt);
    EXPECT_EQ(ToHex(a, 16), ToHex(b, 16));
}

TEST(DesCbc, PartialLastBlockOnDecryptReadsAndWritesOnlyCount) {
    std::mt19937 rng(7);
    for (size_t n = 1; n <= 40; ++n) {
        SCOPED_TRACE(n);
        std::vector<uint8_t> key(8), iv(8);
        for (auto& b : key) b = static_cast<uint8_t>(rng());
        for (auto& b : iv) b = static_cast<uint8_t>(rng());
        const auto ks = Schedule(key);
        const size_t whole = (n + 7) & ~size_t(7);
        std::vector<uint8_t> plain(whole);
        for (auto& b : plain) b = static_cast<uint8_t>(rng());
        std::vector<uint8_t> cipher(whole);
        bx::DesCbc(plain.data(), cipher.data(), whole, ks, iv.data(), bx::DesDirection::Encrypt);

        // Exactly n cipher bytes on the heap: reading one more is an ASan error.
        auto in = std::make_unique<uint8_t[]>(n);
        std::memcpy(in.get(), cipher.data(), n);
        std::vector<uint8_t> out(n + 8, 0xCC);
        bx::DesCbc(in.get(), out.data(), n, ks, iv.data(), bx::DesDirection::Decrypt);

        const size_t full = n & ~size_t(7);
        EXPECT_EQ(ToHex(out.data(), full), ToHex(plain.data(), full)) << "whole blocks come back";
        for (size_t i = n; i < out.size(); ++i) EXPECT_EQ(out[i], 0xCC) << "written past count at " << i;

        // The partial block deciphers as if its missing cipher bytes were zero.
        if (n != full) {
            std::vector<uint8_t> zeroTail(cipher.begin(), cipher.begin() + whole);
            std::fill(zeroTail.begin() + n, zeroTail.end(), 0);
            std::vector<uint8_t> ref(whole);
            bx::DesCbc(zeroTail.data(), ref.data(), whole, ks, iv.data(), bx::DesDirection::Decrypt);
            EXPECT_EQ(ToHex(out.data(), n), ToHex(ref.data(), n));
        }
    }
}

// ---- Datagrams --------------------------------------------------------------

TEST(DesDatagram, SentLengthRule) {
    EXPECT_EQ(bx::DesSentLength(39), 48u);  // 8 + 12 + 19: 31 clear bytes -> 32 + 8
    EXPECT_EQ(bx::DesSentLength(40), 48u);  // 32 bytes behind the IV
    EXPECT_EQ(bx::DesSentLength(41), 56u);
    EXPECT_EQ(bx::DesSentLength(8), 16u);  // empty body: IV and 8 zero bytes
    EXPECT_EQ(bx::DesSentLength(24), 32u);
}

void CheckEncryptedDatagram(size_t clearLength) {
    SCOPED_TRACE(clearLength);
    const auto ks = Schedule(Hex("A1B2C3D4E5F60718"));
    std::vector<uint8_t> clear(clearLength);
    clear[0] = 1;  // IV flag, then 7 IV bytes
    for (size_t i = 1; i < clearLength; ++i) clear[i] = static_cast<uint8_t>(i * 37 + 11);

    // Build buffer as large as required; bytes behind L are deliberately dirty.
    const size_t sent = bx::DesSentLength(clearLength);
    std::vector<uint8_t> buf(sent, 0x5A);
    std::memcpy(buf.data(), clear.data(), clearLength);
    ASSERT_EQ(bx::DesEncryptDatagram(buf.data(), clearLength, buf.size(), ks), sent);

    EXPECT_EQ(ToHex(buf.data(), 8), ToHex(clear.data(), 8)) << "IV sent in clear";
    for (size_t i = sent - 8; i < sent; ++i) EXPECT_EQ(buf[i], 0) << "trailing byte " << i;

    // The cipher text is CBC over the body completed with zero bytes.
    std::vector<uint8_t> body(clear.begin() + 8, clear.end());
    body.resize(sent - 16, 0);
    std::vector<uint8_t> expect(body.size());
    bx::DesCbc(body.data(), expect.data(), body.size(), ks, clear.data(), bx::DesDirection::Encrypt);
    EXPECT_EQ(ToHex(buf.data() + 8, body.size()), ToHex(expect.data(), expect.size()));

    // And the receive path brings the clear bytes back, zeros behind the body.
    uint8_t work[bx::kDesWorkAreaSize];
    std::memset(work, 0xEE, sizeof work);
    EXPECT_EQ(bx::DesDecryptDatagram(buf.data(), sent, ks, work), sent - 8);
    EXPECT_EQ(ToHex(work, clearLength - 8), ToHex(clear.data() + 8, clearLength - 8));
    for (size_t i = clearLength - 8; i < sent - 16; ++i) EXPECT_EQ(work[i], 0) << i;
    for (size_t i = sent - 8; i < sizeof work; ++i) ASSERT_EQ(work[i], 0) << i;
}

TEST(DesDatagram, EncryptLengthsAndTrailingZeros) {
    CheckEncryptedDatagram(39);
    CheckEncryptedDatagram(40);
    for (size_t n = 8; n <= 70; ++n) CheckEncryptedDatagram(n);
}

TEST(DesDatagram, EncryptRefusesAShortBufferOrLength) {
    const auto ks = Schedule(Hex("0123456789ABCDEF"));
    std::vector<uint8_t> buf(64, 0x33);
    const std::vector<uint8_t> before = buf;
    EXPECT_EQ(bx::DesEncryptDatagram(buf.data(), 39, 47, ks), 0u);  // needs 48
    EXPECT_EQ(bx::DesEncryptDatagram(buf.data(), 40, 40, ks), 0u);
    EXPECT_EQ(bx::DesEncryptDatagram(buf.data(), 7, 64, ks), 0u);  // no whole IV
    EXPECT_EQ(bx::DesEncryptDatagram(nullptr, 40, 64, ks), 0u);
    EXPECT_EQ(buf, before) << "a refused call touches nothing";
    EXPECT_EQ(bx::DesEncryptDatagram(buf.data(), 39, 48, ks), 48u);
}

TEST(DesDatagram, DecryptBoundsTheWorkArea) {
    const auto ks = Schedule(Hex("0123456789ABCDEF"));
    uint8_t work[bx::kDesWorkAreaSize];

    // Nothing behind the IV: the work area is zeroed, nothing stored.
    uint8_t ivOnly[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::memset(work, 0xEE, sizeof work);
    EXPECT_EQ(bx::DesDecryptDatagram(ivOnly, 8, ks, work), 0u);
    for (uint8_t b : work) ASSERT_EQ(b, 0);

    // An over-long datagram: only the first 1024 body bytes, the rest ignored.
    const size_t n = 8 + 1504;
    std::vector<uint8_t> clear(n);
    clear[0] = 1;
    for (size_t i = 1; i < n; ++i) clear[i] = static_cast<uint8_t>(i);
    std::vector<uint8_t> cipher(n);
    std::memcpy(cipher.data(), clear.data(), 8);
    bx::DesCbc(clear.data() + 8, cipher.data() + 8, n - 8, ks, clear.data(), bx::DesDirection::Encrypt);
    auto received = std::make_unique<uint8_t[]>(n);
    std::memcpy(received.get(), cipher.data(), n);
    EXPECT_EQ(bx::DesDecryptDatagram(received.get(), n, ks, work), bx::kDesWorkAreaSize);
    EXPECT_EQ(0, std::memcmp(work, clear.data() + 8, sizeof work));

    // A datagram cut inside a block: whole blocks come back, the partial block
    // is read only up to the received bytes, and the work area behind is zero.
    for (size_t cut : {9u, 15u, 20u, 37u}) {
        SCOPED_TRACE(cut);
        auto part = std::make_unique<uint8_t[]>(cut);
        std::memcpy(part.get(), cipher.data(), cut);
        EXPECT_EQ(bx::DesDecryptDatagram(part.get(), cut, ks, work), cut - 8);
        const size_t full = (cut - 8) & ~size_t(7);
        EXPECT_EQ(0, std::memcmp(work, clear.data() + 8, full));
        for (size_t i = cut - 8; i < sizeof work; ++i) ASSERT_EQ(work[i], 0) << i;
    }
}

}  // namespace
