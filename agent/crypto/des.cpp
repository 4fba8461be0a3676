// Single DES in CBC mode: key schedule and block function in the table-driven
// form with combined S-box/permutation tables (SP tables).
//
// The block function keeps both halves rotated left by one bit, so that each
// of the eight 6-bit groups of the expansion E lies in one byte of either the
// half or the half rotated by four: E costs no work per round, and each round
// is two XORs with the round key and eight table look-ups. The SP tables are
// derived at compile time from the standard S-boxes and the permutation P,
// their output already rotated left by one like the halves. The initial and
// final permutations are done with the standard bit-swap sequence.
#include "agent/crypto/des.h"

#include <cstring>

namespace bx {
namespace {

// ---- Standard tables (bit numbers 1-based, most significant bit first) -----

constexpr uint8_t kSBox[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8, 3, 10, 6, 12, 5,  9,  0,  7,  0,  15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5, 3, 8,  4, 1,  14, 8,  13, 6,  2,  11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2, 4, 9,  1, 7,  5,  11, 3,  14, 10, 0,  6,  13},
    {15, 1,  8, 14, 6,  11, 3,  4, 9, 7, 2,  13, 12, 0, 5, 10, 3,  13, 4,  7, 15, 2,  8, 14, 12, 0, 1, 10, 6, 9, 11, 5,
     0,  14, 7, 11, 10, 4,  13, 1, 5, 8, 12, 6,  9,  3, 2, 15, 13, 8,  10, 1, 3,  15, 4, 2,  11, 6, 7, 12, 0, 5, 14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7, 11, 4,  2,  8,  13, 7, 0,  9, 3, 4,
     6,  10, 2,  8,  5, 14, 12, 11, 15, 1,  13, 6, 4,  9,  8,  15, 3,  0, 11, 1, 2, 12,
     5,  10, 14, 7,  1, 10, 13, 0,  6,  9,  8,  7, 4,  15, 14, 3,  11, 5, 2,  12},
    {7, 13, 14, 3, 0, 6,  9, 10, 1,  2, 8,  5, 11, 12, 4,  15, 13, 8,  11, 5, 6, 15,
     0, 3,  4,  7, 2, 12, 1, 10, 14, 9, 10, 6, 9,  0,  12, 11, 7,  13, 15, 1, 3, 14,
     5, 2,  8,  4, 3, 15, 0, 6,  10, 1, 13, 8, 9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4, 1,  7,  10, 11, 6, 8, 5,  3, 15, 13, 0,  14, 9,  14, 11, 2,  12, 4,  7,
     13, 1,  5, 0,  15, 10, 3,  9, 8, 6,  4, 2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,
     6,  3,  0, 14, 11, 8,  12, 7, 1, 14, 2, 13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9,  2,  6, 8,  0, 13, 3,  4,  14, 7,  5, 11, 10, 15, 4, 2, 7, 12,
     9,  5,  6,  1,  13, 14, 0, 11, 3, 8,  9,  14, 15, 5,  2, 8,  12, 3,  7, 0, 4, 10,
     1,  13, 11, 6,  4,  3,  2, 12, 9, 5,  15, 10, 11, 14, 1, 7,  6,  0,  8, 13},
    {4, 11, 2,  14, 15, 0, 8, 13, 3,  12, 9, 7, 5, 10, 6, 1, 13, 0,  11, 7, 4, 9, 1,  10, 14, 3, 5, 12, 2,  15, 8, 6,
     1, 4,  11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5,  9, 2, 6,  11, 13, 8, 1, 4, 10, 7,  9,  5, 0, 15, 14, 2,  3, 12},
    {13, 2,  8, 4, 6, 15, 11, 1, 10, 9, 3,  14, 5,  0, 12, 7, 1, 15, 13, 8, 10, 3,  7, 4,  12, 5,  6, 11, 0, 14, 9, 2,
     7,  11, 4, 1, 9, 12, 14, 2, 0,  6, 10, 13, 15, 3, 5,  8, 2, 1,  14, 7, 4,  10, 8, 13, 15, 12, 9, 0,  3, 5,  6, 11},
};

// P: output bit i takes input bit kP[i].
constexpr uint8_t kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                            2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

// PC-1: the 56 key bits (C then D) taken from the 64-bit key.
constexpr uint8_t kPc1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18, 10, 2,  59, 51, 43,
                              35, 27, 19, 11, 3,  60, 52, 44, 36, 63, 55, 47, 39, 31, 23, 15, 7,  62, 54,
                              46, 38, 30, 22, 14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

// PC-2: the 48 round-key bits taken from C and D (1..28 C, 29..56 D).
constexpr uint8_t kPc2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
                              26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
                              51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

// Left rotations of C and D before each round.
constexpr uint8_t kShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

constexpr uint32_t Rotl(uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }
constexpr uint32_t Rotr(uint32_t v, int n) { return (v >> n) | (v << (32 - n)); }

// SP[k][b]: S-box k+1 applied to the 6-bit group b (its bits in E order),
// the 4 result bits placed at their positions in the 32-bit S output, run
// through P, and rotated left by one bit like the halves in the block function.
struct SpTables {
    uint32_t t[8][64];
};

constexpr SpTables MakeSpTables() {
    SpTables sp{};
    for (int k = 0; k < 8; ++k) {
        for (int b = 0; b < 64; ++b) {
            const int row = ((b >> 4) & 2) | (b & 1);
            const int col = (b >> 1) & 0xF;
            const uint32_t s = static_cast<uint32_t>(kSBox[k][row * 16 + col]) << (28 - 4 * k);
            uint32_t p = 0;
            for (int i = 0; i < 32; ++i) {
                if (s & (0x80000000u >> (kP[i] - 1))) p |= 0x80000000u >> i;
            }
            sp.t[k][b] = Rotl(p, 1);
        }
    }
    return sp;
}

alignas(64) constexpr SpTables kSp = MakeSpTables();

inline uint32_t LoadBe32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline void StoreBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// One swap step of the bit-swap permutations: exchanges the bits of a
// (shifted right by n) and b selected by mask.
#define BX_DES_SWAP(a, b, n, mask)                         \
    do {                                                   \
        const uint32_t t_ = (((a) >> (n)) ^ (b)) & (mask); \
        (b) ^= t_;                                         \
        (a) ^= t_ << (n);                                  \
    } while (0)

// The Feistel function of one round on the (rotated) half `in`, XORed into
// `out`. k points at the round's two key words.
#define BX_DES_ROUND(out, in, k)                                                                       \
    do {                                                                                               \
        uint32_t w_ = Rotr((in), 4) ^ (k)[0];                                                          \
        uint32_t f_ = kSp.t[6][w_ & 0x3F] | kSp.t[4][(w_ >> 8) & 0x3F] | kSp.t[2][(w_ >> 16) & 0x3F] | \
                      kSp.t[0][(w_ >> 24) & 0x3F];                                                     \
        w_ = (in) ^ (k)[1];                                                                            \
        f_ |= kSp.t[7][w_ & 0x3F] | kSp.t[5][(w_ >> 8) & 0x3F] | kSp.t[3][(w_ >> 16) & 0x3F] |         \
              kSp.t[1][(w_ >> 24) & 0x3F];                                                             \
        (out) ^= f_;                                                                                   \
    } while (0)

// Enciphers (or deciphers) the block held as two big-endian words l, r.
template <bool kDecrypt>
inline void DesBlock(uint32_t& l, uint32_t& r, const DesKeySchedule& ks) {
    uint32_t left = l;
    uint32_t right = r;

    // Initial permutation.
    BX_DES_SWAP(left, right, 4, 0x0F0F0F0Fu);
    BX_DES_SWAP(left, right, 16, 0x0000FFFFu);
    BX_DES_SWAP(right, left, 2, 0x33333333u);
    BX_DES_SWAP(right, left, 8, 0x00FF00FFu);
    right = Rotl(right, 1);
    {
        const uint32_t t = (left ^ right) & 0xAAAAAAAAu;
        left ^= t;
        right ^= t;
    }
    left = Rotl(left, 1);

    // Sixteen rounds, two per step so that the halves need no exchange.
    for (int i = 0; i < 16; i += 2) {
        const uint32_t* k1 = ks.roundKeys[kDecrypt ? 15 - i : i];
        const uint32_t* k2 = ks.roundKeys[kDecrypt ? 14 - i : i + 1];
        BX_DES_ROUND(left, right, k1);
        BX_DES_ROUND(right, left, k2);
    }

    // Final permutation (inverse of the initial one), halves exchanged.
    right = Rotr(right, 1);
    {
        const uint32_t t = (left ^ right) & 0xAAAAAAAAu;
        left ^= t;
        right ^= t;
    }
    left = Rotr(left, 1);
    BX_DES_SWAP(left, right, 8, 0x00FF00FFu);
    BX_DES_SWAP(left, right, 2, 0x33333333u);
    BX_DES_SWAP(right, left, 16, 0x0000FFFFu);
    BX_DES_SWAP(right, left, 4, 0x0F0F0F0Fu);

    l = right;
    r = left;
}

#undef BX_DES_ROUND
#undef BX_DES_SWAP

void CbcEncrypt(const uint8_t* in, uint8_t* out, size_t count, const DesKeySchedule& ks, const uint8_t iv[8]) {
    uint32_t cl = LoadBe32(iv);
    uint32_t cr = LoadBe32(iv + 4);
    for (; count >= 8; count -= 8, in += 8, out += 8) {
        cl ^= LoadBe32(in);
        cr ^= LoadBe32(in + 4);
        DesBlock<false>(cl, cr, ks);
        StoreBe32(out, cl);
        StoreBe32(out + 4, cr);
    }
    if (count > 0) {
        // The last partial block is completed with zero bytes.
        uint8_t block[8] = {};
        std::memcpy(block, in, count);
        cl ^= LoadBe32(block);
        cr ^= LoadBe32(block + 4);
        DesBlock<false>(cl, cr, ks);
        StoreBe32(out, cl);
        StoreBe32(out + 4, cr);
    }
}

void CbcDecrypt(const uint8_t* in, uint8_t* out, size_t count, const DesKeySchedule& ks, const uint8_t iv[8]) {
    uint32_t pl = LoadBe32(iv);
    uint32_t pr = LoadBe32(iv + 4);
    for (; count >= 8; count -= 8, in += 8, out += 8) {
        const uint32_t xl = LoadBe32(in);
        const uint32_t xr = LoadBe32(in + 4);
        uint32_t l = xl;
        uint32_t r = xr;
        DesBlock<true>(l, r, ks);
        StoreBe32(out, l ^ pl);
        StoreBe32(out + 4, r ^ pr);
        pl = xl;
        pr = xr;
    }
    if (count > 0) {
        // A partial last block: deciphered as a whole block from a zero-filled
        // copy, so nothing beyond count is read, and only count bytes are stored.
        uint8_t block[8] = {};
        std::memcpy(block, in, count);
        uint32_t l = LoadBe32(block);
        uint32_t r = LoadBe32(block + 4);
        DesBlock<true>(l, r, ks);
        StoreBe32(block, l ^ pl);
        StoreBe32(block + 4, r ^ pr);
        std::memcpy(out, block, count);
    }
}

}  // namespace

void DesSetKey(const uint8_t key[8], DesKeySchedule& schedule) {
    // The 56 key bits after PC-1, C in bits 0..27 and D in bits 28..55.
    uint8_t cd[56];
    for (int i = 0; i < 56; ++i) {
        const int bit = kPc1[i] - 1;
        cd[i] = (key[bit >> 3] >> (7 - (bit & 7))) & 1;
    }
    int rotation = 0;
    for (int round = 0; round < 16; ++round) {
        rotation += kShifts[round];
        // C and D rotated left by the total rotation so far.
        uint8_t shifted[56];
        for (int i = 0; i < 28; ++i) {
            shifted[i] = cd[(i + rotation) % 28];
            shifted[28 + i] = cd[28 + (i + rotation) % 28];
        }
        // Eight 6-bit groups of the 48-bit round key.
        uint32_t groups[8];
        for (int g = 0; g < 8; ++g) {
            uint32_t v = 0;
            for (int j = 0; j < 6; ++j) v = (v << 1) | shifted[kPc2[g * 6 + j] - 1];
            groups[g] = v;
        }
        // Word 0 holds groups 1,3,5,7 and word 1 groups 2,4,6,8, one per byte
        // from the top, where the block function finds the matching E groups.
        schedule.roundKeys[round][0] = (groups[0] << 24) | (groups[2] << 16) | (groups[4] << 8) | groups[6];
        schedule.roundKeys[round][1] = (groups[1] << 24) | (groups[3] << 16) | (groups[5] << 8) | groups[7];
    }
}

void DesCbc(const uint8_t* in, uint8_t* out, size_t count, const DesKeySchedule& schedule, const uint8_t iv[8],
            DesDirection direction) {
    if (count == 0) return;
    if (direction == DesDirection::Encrypt) {
        CbcEncrypt(in, out, count, schedule, iv);
    } else {
        CbcDecrypt(in, out, count, schedule, iv);
    }
}

size_t DesEncryptDatagram(uint8_t* datagram, size_t clearLength, size_t capacity, const DesKeySchedule& schedule) {
    if (datagram == nullptr || clearLength < kDesIvSize) return 0;
    const size_t sent = DesSentLength(clearLength);
    if (sent < clearLength || capacity < sent) return 0;  // buffer too small
    const size_t body = clearLength - kDesIvSize;
    uint8_t iv[kDesIvSize];
    std::memcpy(iv, datagram, kDesIvSize);
    DesCbc(datagram + kDesIvSize, datagram + kDesIvSize, body, schedule, iv, DesDirection::Encrypt);
    // Behind the cipher text (body rounded up to whole blocks): 8 zero bytes.
    const size_t cipherEnd = kDesIvSize + ((body + 7) & ~static_cast<size_t>(7));
    std::memset(datagram + cipherEnd, 0, sent - cipherEnd);
    return sent;
}

size_t DesDecryptDatagram(const uint8_t* datagram, size_t received, const DesKeySchedule& schedule,
                          uint8_t (&workArea)[kDesWorkAreaSize]) {
    std::memset(workArea, 0, kDesWorkAreaSize);
    if (datagram == nullptr || received <= kDesIvSize) return 0;
    size_t body = received - kDesIvSize;
    if (body > kDesWorkAreaSize) body = kDesWorkAreaSize;
    DesCbc(datagram + kDesIvSize, workArea, body, schedule, datagram, DesDirection::Decrypt);
    return body;
}

}  // namespace bx
