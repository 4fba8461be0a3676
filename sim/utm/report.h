// One line of text per datagram: space-separated key=value fields that a
// person can read and a script can split.
//
// A value is written bare when it consists of letters, digits and ._:/,@+-
// only; otherwise it is put in double quotes, with \" for a quote, \\ for a
// backslash and \xNN for control bytes and bytes that are not valid UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/utm/wire.h"

namespace utm {

std::string QuoteValue(const std::string& value);
std::string HexText(const uint8_t* data, size_t n);

// The fields of a decoded datagram, in this order (absent values are left
// out): len iv status malformed ver type id sig tlvlen extra cipherpad kind
// user domain server proto op port nips ips dst dport session conntype errind
// subnet range flags pingtext unknown oddlen dup hex. The hex field (the
// datagram as decoded, behind the IV decrypted; the first 4096 bytes and
// "..." when longer) is written when withHex is set and always for a
// malformed datagram. Lists stop after 32 entries with ",...".
std::string DescribeDatagram(const Decoded& d, bool withHex);

}  // namespace utm
