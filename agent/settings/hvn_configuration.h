// CHVNConfiguration: the appliance settings record (address, port, key and its
// DES key schedule, time-out, retries), read from the registry each time one
// is constructed.
#pragma once
#include <cstdint>
#include <string>

#include "agent/crypto/des.h"
#include "agent/settings/log_impl.h"

namespace bx {

constexpr uint32_t kDefaultTimeOutSeconds = 10;
// The longest TimeOut used, one day. Larger stored values are cut to it:
// TimeOut x 1000 is the sockets' receive time-out in milliseconds, which a
// 32-bit value holds only up to 4,294,967 seconds.
constexpr uint32_t kMaxTimeOutSeconds = 86400;
constexpr uint32_t kDefaultRetries = 3;
constexpr int32_t kPortNotConfigured = -1;
constexpr size_t kKeyBytes = 8;
constexpr size_t kKeyTextChars = 16;  // the key buffer holds 16 characters and a NUL

// Key text to the eight key bytes: two characters per byte from the left, the
// first the high half; of each character only its low 8 bits count; "0"-"9",
// "a"-"f" and "A"-"F" are their values and every other character is 0xFF;
// byte = (high << 4) + low, modulo 256. Bytes without a full pair of
// characters are zero (an odd last character is ignored). Only the first 16
// characters are used; returns true when the text was longer and was cut.
bool KeyTextToBytes(const std::wstring& text, uint8_t (&bytes)[kKeyBytes]);

}  // namespace bx

class CHVNConfiguration : public CLogImpl {
public:
    // Reads ip, port, key, TimeOut and Retries (each with its default), turns
    // the key text into the key bytes and builds the key schedule.
    CHVNConfiguration();
    // Part of another component, made with it: the appliance values come from
    // the settings key the owner has open, the logging settings are those
    // the owner (`logging`) has just read from it.
    CHVNConfiguration(const bx::SettingsReader& settings, const CLogImpl& logging);

    // A key cut to 16 characters is reported once the first logger arrives
    // (settings are read before the owner has its logger).
    void SetLogger(CBXLogger* logger) override;

    // "port": -1 when absent or not configured.
    int32_t Port() const { return port; }
    bool HasPort() const { return port != bx::kPortNotConfigured; }
    // The UDP port used: the low 16 bits of "port", in host order.
    uint16_t UdpPort() const { return static_cast<uint16_t>(static_cast<uint32_t>(port) & 0xFFFFu); }

    const std::wstring& SettingsKeyPath() const;
    const std::wstring& Address() const { return address; }
    const std::wstring& KeyText() const { return keyText; }
    // "TimeOut", at most kMaxTimeOutSeconds.
    uint32_t TimeOut() const { return timeOut; }
    // The value stored, before the cut to kMaxTimeOutSeconds.
    uint32_t StoredTimeOut() const { return storedTimeOut; }
    uint32_t Retries() const { return retries; }
    const uint8_t (&KeyBytes() const)[bx::kKeyBytes] { return keyBytes; }
    const bx::DesKeySchedule& KeySchedule() const { return keySchedule; }
    bool KeyWasCut() const { return keyWasCut; }

private:
    explicit CHVNConfiguration(const bx::SettingsReader& settings);

    int32_t port;
    std::wstring address;
    std::wstring keyText;
    uint32_t timeOut;
    uint32_t storedTimeOut;
    uint32_t retries;
    uint8_t keyBytes[bx::kKeyBytes];
    bx::DesKeySchedule keySchedule;
    bool keyWasCut;
};
