// libFuzzer target: arbitrary bytes into CHVNProtocolParser, in clear and
// encrypted, as the listener hands a received datagram to a new parser.
//
// The first input byte chooses how the rest becomes the datagram:
//   0  as it is;
//   1  with the IV flag forced on: the body is deciphered from raw bytes;
//   2  the rest is a clear datagram that is first encrypted under the stored
//      key, so the parser deciphers it back; when the clear datagram parses,
//      its encrypted form must parse to the same fields.
// The settings hold a fixed key and verbose logging, so that every log line's
// formatting runs too (without a logger the lines are formatted and dropped).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "agent/crypto/des.h"
#include "agent/protocol/protocol_parser.h"
#include "agent/settings/settings_reader.h"
#include "platform/settings_store.h"

namespace {

const wchar_t kKeyText[] = L"0123456789abcdef";
const uint8_t kKeyBytes[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
bx::DesKeySchedule keySchedule;  // of kKeyBytes, for mode 2

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

void SetSetting(const wchar_t* name, uint32_t type, const void* data, uint32_t size) {
    bx::settings::Key key;
    Check(bx::settings::CreateKey(bx::kSettingsKeyPath, bx::settings::Access::Set, key) == 0);
    Check(key.SetValue(name, type, data, size) == 0);
}

// Invariants of any parse result.
void CheckResult(const CHVNProtocolParser& p, uint32_t result) {
    Check(result == 0 || result == 13);
    Check(p.UserNameLength() <= bx::wire::kMaxTextBytes && p.DomainNameLength() <= bx::wire::kMaxTextBytes);
    Check(std::strlen(p.UserName()) == p.UserNameLength());
    Check(std::strlen(p.DomainName()) == p.DomainNameLength());
    Check((p.UnusableBits() & ~p.PresentBits()) == 0);
    Check((p.PresentBits() & 0xFFFE0001u) == 0);
    (void)p.UserNameWide();
    (void)p.DomainNameWide();
}

bool SameFields(const CHVNProtocolParser& a, const CHVNProtocolParser& b) {
    return a.RequestId() == b.RequestId() && a.Length() == b.Length() && a.PresentBits() == b.PresentBits() &&
           a.UnusableBits() == b.UnusableBits() && a.Protocol() == b.Protocol() && a.Operation() == b.Operation() &&
           std::strcmp(a.UserName(), b.UserName()) == 0 && std::strcmp(a.DomainName(), b.DomainName()) == 0 &&
           a.Port() == b.Port() && a.NumIps() == b.NumIps() && a.Ips() == b.Ips() &&
           a.SubnetNetwork() == b.SubnetNetwork() && a.SubnetMask() == b.SubnetMask() &&
           a.RangeStart() == b.RangeStart() && a.RangeEnd() == b.RangeEnd() && a.DestIp() == b.DestIp() &&
           a.DestPort() == b.DestPort() && a.SessionId() == b.SessionId() && a.ConnectionType() == b.ConnectionType() &&
           a.ErrorCode() == b.ErrorCode();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::vector<uint8_t> key = bx::StoredBytesFromText(kKeyText);
    SetSetting(L"key", bx::settings::kTypeString, key.data(), static_cast<uint32_t>(key.size()));
    const uint8_t on[4] = {1, 0, 0, 0};
    SetSetting(L"verbose", bx::settings::kTypeDword, on, 4);
    bx::DesSetKey(kKeyBytes, keySchedule);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t mode = data[0] % 3;
    std::vector<uint8_t> datagram(data + 1, data + size);  // exactly the received bytes

    if (mode == 0) {
        CHVNProtocolParser parser(nullptr);
        CheckResult(parser, parser.Parse(datagram.data(), datagram.size(), L"UTM Resp: "));
        return 0;
    }
    if (mode == 1) {
        if (!datagram.empty()) datagram[0] |= 1;
        CHVNProtocolParser parser(nullptr);
        CheckResult(parser, parser.Parse(datagram.data(), datagram.size(), L"UTM Resp: "));
        return 0;
    }

    // Mode 2: the clear datagram, then its encrypted form as the appliance
    // sends it (random IV flag 1, body padded to blocks, 8 trailing zeros).
    if (datagram.size() < bx::kDesIvSize) datagram.resize(bx::kDesIvSize, 0);
    datagram[0] = 0;
    CHVNProtocolParser clear(nullptr);
    const uint32_t clearResult = clear.Parse(datagram.data(), datagram.size(), L"UTM Resp: ");
    CheckResult(clear, clearResult);

    std::vector<uint8_t> sent(bx::DesSentLength(datagram.size()), 0);
    std::memcpy(sent.data(), datagram.data(), datagram.size());
    sent[0] = 1;
    Check(bx::DesEncryptDatagram(sent.data(), datagram.size(), sent.size(), keySchedule) == sent.size());
    CHVNProtocolParser encrypted(nullptr);
    const uint32_t encryptedResult = encrypted.Parse(sent.data(), sent.size(), L"UTM Resp: ");
    CheckResult(encrypted, encryptedResult);
    Check(encrypted.WasEncrypted());
    // What parses in clear parses the same once encrypted, as long as the
    // body fits the decrypt work area.
    if (clearResult == 0 && sent.size() - bx::kDesIvSize <= bx::kDesWorkAreaSize) {
        Check(encryptedResult == 0);
        Check(SameFields(clear, encrypted));
    }
    return 0;
}
