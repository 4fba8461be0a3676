// Single DES (FIPS 46-3) in CBC mode, the cipher of the appliance datagrams.
//
// Blocks enter the cipher as bytes 0..7 in wire order (the standard DES byte
// order), so published test vectors hold as they stand. Parity bits of the key
// are ignored and weak keys are accepted, as the appliance expects.
#pragma once
#include <cstddef>
#include <cstdint>

namespace bx {

// The 16 round keys of one DES key. Each 48-bit round key is kept as two
// words of four 6-bit groups (groups 1,3,5,7 and 2,4,6,8, one per byte),
// lined up with the block function's combined S-box/permutation tables.
struct DesKeySchedule {
    uint32_t roundKeys[16][2];
};

// Builds the schedule from the 56 key bits of the 8 key bytes.
void DesSetKey(const uint8_t key[8], DesKeySchedule& schedule);

enum class DesDirection { Encrypt, Decrypt };

// CBC over count bytes. in and out may be the same buffer (in place); other
// overlaps are not supported. The iv is read, never updated. A last partial
// block is handled as follows:
//   Encrypt: completed with zero bytes and enciphered as a whole block, so
//            out receives count rounded up to a multiple of 8 bytes and must
//            have room for them.
//   Decrypt: the partial cipher block is copied into a zero-filled block,
//            deciphered, and only its count % 8 clear bytes are stored.
void DesCbc(const uint8_t* in, uint8_t* out, size_t count, const DesKeySchedule& schedule, const uint8_t iv[8],
            DesDirection direction);

// ---- Datagram helpers ------------------------------------------------------
// A datagram starts with an 8-byte IV, sent in clear; the bytes behind it are
// the enciphered body.

constexpr size_t kDesIvSize = 8;
// The work area into which a received datagram's body is deciphered.
constexpr size_t kDesWorkAreaSize = 1024;

// Sent length of a datagram of clear length L (IV included): L + 15 rounded
// down to a multiple of 8, i.e. IV + body rounded up to whole blocks + 8
// trailing zero bytes.
constexpr size_t DesSentLength(size_t clearLength) { return (clearLength + 15) & ~static_cast<size_t>(7); }

// Encrypts in place the clearLength - 8 bytes behind the IV (IV = the first 8
// bytes of datagram) and writes zero bytes from the end of the cipher text up
// to the sent length. Requirement: capacity, the size of the buffer behind
// datagram, is at least DesSentLength(clearLength). Returns the sent length,
// or 0 (nothing touched) when clearLength < 8 or the buffer is too small.
size_t DesEncryptDatagram(uint8_t* datagram, size_t clearLength, size_t capacity, const DesKeySchedule& schedule);

// Deciphers the received - 8 bytes behind the IV of a received datagram into
// workArea (first zeroed whole). Only the first kDesWorkAreaSize body bytes of
// an over-long datagram are deciphered; nothing is read past received bytes.
// Returns the number of clear bytes stored (0 when received <= 8).
size_t DesDecryptDatagram(const uint8_t* datagram, size_t received, const DesKeySchedule& schedule,
                          uint8_t (&workArea)[kDesWorkAreaSize]);

}  // namespace bx
