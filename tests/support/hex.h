// Test helper of the appliance peer: "00 0f 00 00" style text to bytes
// (spaces ignored, digits in either case), for datagrams written by hand.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace utm::test {

inline std::vector<uint8_t> FromHex(const std::string& text) {
    std::vector<uint8_t> out;
    int high = -1;
    for (char c : text) {
        if (c == ' ') continue;
        const int v = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : c - 'A' + 10;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

}  // namespace utm::test
