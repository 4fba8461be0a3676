// DES-CBC cross-checked against OpenSSL's DES (native builds only; the
// product itself links no crypto library).
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "agent/crypto/des.h"

namespace {

struct OpenSslDes {
    DES_key_schedule ks;
    explicit OpenSslDes(const uint8_t key[8]) {
        DES_cblock k;
        std::memcpy(k, key, 8);
        DES_set_key_unchecked(&k, &ks);  // parity and weak keys not checked, as ours
    }
    void Cbc(const uint8_t* in, uint8_t* out, size_t n, const uint8_t iv[8], bool encrypt) {
        DES_cblock ivec;
        std::memcpy(ivec, iv, 8);
        DES_ncbc_encrypt(in, out, static_cast<long>(n), &ks, &ivec, encrypt ? DES_ENCRYPT : DES_DECRYPT);
    }
};

TEST(DesOpenSsl, RandomKeysIvsAndLengths) {
    std::mt19937_64 rng(20240611);
    for (int trial = 0; trial < 500; ++trial) {
        uint8_t key[8], iv[8];
        for (auto& b : key) b = static_cast<uint8_t>(rng());
        for (auto& b : iv) b = static_cast<uint8_t>(rng());
        const size_t n = 1 + rng() % 1100;
        const size_t whole = (n + 7) & ~size_t(7);
        SCOPED_TRACE(n);

        bx::DesKeySchedule ours;
        bx::DesSetKey(key, ours);
        OpenSslDes theirs(key);

        std::vector<uint8_t> plain(whole, 0);
        for (size_t i = 0; i < n; ++i) plain[i] = static_cast<uint8_t>(rng());

        // Encrypt: our zero-completed last block equals OpenSSL's on the
        // zero-padded buffer.
        std::vector<uint8_t> a(whole), b(whole);
        bx::DesCbc(plain.data(), a.data(), n, ours, iv, bx::DesDirection::Encrypt);
        theirs.Cbc(plain.data(), b.data(), whole, iv, true);
        ASSERT_EQ(a, b) << "encrypt, trial " << trial;

        // Decrypt of whole blocks.
        std::vector<uint8_t> c(whole), d(whole);
        bx::DesCbc(a.data(), c.data(), whole, ours, iv, bx::DesDirection::Decrypt);
        theirs.Cbc(a.data(), d.data(), whole, iv, false);
        ASSERT_EQ(c, d) << "decrypt, trial " << trial;
        ASSERT_EQ(c, plain);

        // Decrypt of n bytes: the missing cipher bytes of the last block count
        // as zero.
        std::vector<uint8_t> cut(a.begin(), a.end());
        std::fill(cut.begin() + n, cut.end(), 0);
        std::vector<uint8_t> e(n), f(whole);
        bx::DesCbc(a.data(), e.data(), n, ours, iv, bx::DesDirection::Decrypt);
        theirs.Cbc(cut.data(), f.data(), whole, iv, false);
        ASSERT_EQ(0, std::memcmp(e.data(), f.data(), n)) << "partial decrypt, trial " << trial;
    }
}

TEST(DesOpenSsl, WeakKeysAreUsedAsGiven) {
    const uint8_t weak[][8] = {{0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01},
                               {0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE},
                               {0, 0, 0, 0, 0, 0, 0, 0}};
    const uint8_t iv[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t plain[32];
    for (int i = 0; i < 32; ++i) plain[i] = static_cast<uint8_t>(i * 7);
    for (const auto& key : weak) {
        bx::DesKeySchedule ours;
        bx::DesSetKey(key, ours);
        OpenSslDes theirs(key);
        uint8_t a[32], b[32];
        bx::DesCbc(plain, a, 32, ours, iv, bx::DesDirection::Encrypt);
        theirs.Cbc(plain, b, 32, iv, true);
        EXPECT_EQ(0, std::memcmp(a, b, 32));
    }
}

}  // namespace
