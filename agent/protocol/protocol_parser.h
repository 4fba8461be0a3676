// CHVNProtocolParser: reads one datagram received from the appliance (a
// response, ping or reset request) into its fields.
//
// One parser is constructed for every received datagram. Its construction
// reads the appliance settings (CHVNConfiguration), so an encrypted datagram
// is deciphered with the key stored at that moment.
//
// Parse(bytes, count, prefix) returns 0 when the datagram was read
// completely, 13 when it was rejected (too short, a length that runs past the
// received bytes, a TLV cut short) or held a TLV of unknown type. Only on 0 is
// the result below valid. Every log line starts with the caller's prefix
// ("UTM Resp: " for the response handler). Errors and warnings are always
// logged; the trace of the header and of each value is a debug line, written
// only with verbose logging on.
//
// The result keeps two bit sets over the TLV types (bx::wire::TlvBit): the
// present set (the type was met) and the unusable set (its value was empty,
// too short or, for names, over-long). A value is usable when it is present
// and not unusable.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "agent/crypto/des.h"
#include "agent/protocol/wire.h"
#include "agent/settings/hvn_configuration.h"
#include "agent/settings/log_impl.h"
#include "platform/utf8.h"

class CHVNProtocolParser : public CLogImpl {
public:
    // Reads the logging and appliance settings; logs through `logger` (may
    // be null: messages are then dropped).
    explicit CHVNProtocolParser(CBXLogger* logger = nullptr);
    // Reads nothing: takes the logging settings of `logging` and the appliance
    // settings its owner read once (`config`, which outlives the parser). The
    // connection manager makes one of these for every datagram it receives,
    // so that a datagram costs no registry reads and no key schedule.
    CHVNProtocolParser(const CLogImpl& logging, const CHVNConfiguration& config, CBXLogger* logger);
    CHVNProtocolParser(const CHVNProtocolParser&) = delete;
    CHVNProtocolParser& operator=(const CHVNProtocolParser&) = delete;

    // Also hands the logger to the settings record.
    void SetLogger(CBXLogger* logger) override;

    // Parses `count` received bytes. Returns 0, 13 (bad datagram) or 87
    // (null bytes with a non-zero count). `logPrefix` may be null.
    uint32_t Parse(const uint8_t* bytes, size_t count, const wchar_t* logPrefix);

    // ---- Header ------------------------------------------------------------
    uint32_t RequestId() const { return requestId_; }  // host order
    uint8_t Version() const { return version_; }
    uint8_t MessageType() const { return messageType_; }
    uint32_t Signature() const { return signature_; }
    uint16_t Length() const { return length_; }  // TLV area, bytes
    bool WasEncrypted() const { return encrypted_; }

    // ---- Bit sets ----------------------------------------------------------
    uint32_t PresentBits() const { return present_; }
    uint32_t UnusableBits() const { return unusable_; }
    bool IsPresent(uint32_t bit) const { return (present_ & bit) != 0; }
    bool IsUsable(uint32_t bit) const { return (present_ & bit) != 0 && (unusable_ & bit) == 0; }

    // ---- Values (meaningful when usable) -----------------------------------
    uint8_t Protocol() const { return protocol_; }    // 1 TCP, 2 UDP
    uint8_t Operation() const { return operation_; }  // 0 Open, 1 Close
    // Names as received (UTF-8, at most 255 bytes, NUL-terminated). The
    // domain-or-server field is written by Domain Name and Server Name alike.
    const char* UserName() const { return userName_; }
    size_t UserNameLength() const { return userNameLength_; }
    const char* DomainName() const { return domainName_; }
    size_t DomainNameLength() const { return domainNameLength_; }
    // The same names as wide text (UTF-16 on Windows); malformed UTF-8
    // sequences become U+FFFD.
    std::wstring UserNameWide() const;
    std::wstring DomainNameWide() const;
    uint16_t Port() const { return port_; }  // host order
    uint8_t NumIps() const { return numIps_; }
    const std::vector<uint32_t>& Ips() const { return ips_; }  // host order, arrival order
    uint32_t SubnetNetwork() const { return subnetNetwork_; }
    uint32_t SubnetMask() const { return subnetMask_; }
    uint32_t RangeStart() const { return rangeStart_; }
    uint32_t RangeEnd() const { return rangeEnd_; }
    uint32_t DestIp() const { return destIp_; }
    uint16_t DestPort() const { return destPort_; }  // host order
    uint32_t SessionId() const { return sessionId_; }
    uint8_t ConnectionType() const { return connectionType_; }  // 0 User, else Non User
    uint8_t ErrorCode() const { return errorCode_; }

    const CHVNConfiguration& Configuration() const { return *config_; }

private:
    // Logging and appliance settings come from one opening of the key.
    CHVNProtocolParser(const bx::SettingsReader& settings, CBXLogger* logger);

    // Outcome of one TLV whose bytes lie within the TLV area.
    enum class TlvOutcome { Read, Unknown };

    void Reset();
    uint32_t Walk(const uint8_t* area, size_t areaLength);
    TlvOutcome HandleTlv(uint16_t type, const uint8_t* value, uint16_t length);
    // Marks the TLV's bit unusable and logs the warning `message`.
    void Unusable(uint16_t type, const wchar_t* message);
    // Copies a name value (at most 255 bytes, up to a zero byte); returns false
    // when the value was over-long.
    static bool CopyText(const uint8_t* value, uint16_t length, char (&field)[bx::wire::kMaxTextBytes + 1],
                         size_t& fieldLength);

    // Log lines with the caller's prefix. Debug lines cost nothing while
    // verbose logging is off.
    void Note(uint32_t priority, const wchar_t* format, ...) const;

    std::optional<CHVNConfiguration> ownConfig_;  // read by the parser itself
    const CHVNConfiguration* config_;             // ownConfig_ or the owner's
    const wchar_t* prefix_;

    uint32_t requestId_;
    uint8_t version_;
    uint8_t messageType_;
    uint32_t signature_;
    uint16_t length_;
    bool encrypted_;
    uint32_t present_;
    uint32_t unusable_;
    uint8_t protocol_;
    uint8_t operation_;
    char userName_[bx::wire::kMaxTextBytes + 1];
    size_t userNameLength_;
    char domainName_[bx::wire::kMaxTextBytes + 1];
    size_t domainNameLength_;
    uint16_t port_;
    uint8_t numIps_;
    std::vector<uint32_t> ips_;
    uint32_t subnetNetwork_;
    uint32_t subnetMask_;
    uint32_t rangeStart_;
    uint32_t rangeEnd_;
    uint32_t destIp_;
    uint16_t destPort_;
    uint32_t sessionId_;
    uint8_t connectionType_;
    uint8_t errorCode_;

    // An encrypted body is deciphered here (zeroed before each use).
    uint8_t workArea_[bx::kDesWorkAreaSize];
};
