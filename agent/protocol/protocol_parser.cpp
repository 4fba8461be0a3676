#include "agent/protocol/protocol_parser.h"

#include <cstdarg>
#include <cstring>
#include <cwchar>

#include "agent/settings/settings_reader.h"
#include "platform/dotted_quad.h"
#include "platform/errors.h"

namespace w = bx::wire;

namespace {

const wchar_t* MessageTypeName(uint8_t type) {
    switch (type) {
        case w::kMsgNotification:
            return L"Notification";
        case w::kMsgRequest:
            return L"Request";
        case w::kMsgResponse:
            return L"Response";
        default:
            return L"Unknown";
    }
}

const wchar_t* ProtocolName(uint8_t protocol) {
    switch (protocol) {
        case w::kProtocolTcp:
            return L"TCP";
        case w::kProtocolUdp:
            return L"UDP";
        default:
            return L"Unknown";
    }
}

const wchar_t* OperationName(uint8_t operation) {
    switch (operation) {
        case w::kOperationOpen:
            return L"Open";
        case w::kOperationClose:
            return L"Close";
        default:
            return L"Unknown";
    }
}

const wchar_t* ErrorName(uint8_t code) {
    switch (code) {
        case w::kErrorUnknownSessionId:
            return L"Unknown SessionID";
        case w::kErrorConnectionNotFound:
            return L"Connection Not Found";
        case w::kErrorDestinationRouteLocal:
            return L"Destination route is Local";
        default:
            return L"Uknown";
    }
}

}  // namespace

CHVNProtocolParser::CHVNProtocolParser(CBXLogger* logger)
    : CHVNProtocolParser(bx::SettingsReader(bx::kSettingsKeyPath), logger) {}

CHVNProtocolParser::CHVNProtocolParser(const bx::SettingsReader& settings, CBXLogger* logger)
    : CLogImpl(settings), ownConfig_(std::in_place, settings, *this), config_(&*ownConfig_), prefix_(L"") {
    Reset();
    SetLogger(logger);
}

CHVNProtocolParser::CHVNProtocolParser(const CLogImpl& logging, const CHVNConfiguration& config, CBXLogger* logger)
    : CLogImpl(logging), config_(&config), prefix_(L"") {
    Reset();
    SetLogger(logger);
}

void CHVNProtocolParser::SetLogger(CBXLogger* logger) {
    CLogImpl::SetLogger(logger);
    if (ownConfig_) ownConfig_->SetLogger(logger);
}

void CHVNProtocolParser::Reset() {
    requestId_ = 0;
    version_ = 0;
    messageType_ = 0;
    signature_ = 0;
    length_ = 0;
    encrypted_ = false;
    present_ = 0;
    unusable_ = 0;
    protocol_ = 0;
    operation_ = 0;
    userName_[0] = '\0';
    userNameLength_ = 0;
    domainName_[0] = '\0';
    domainNameLength_ = 0;
    port_ = 0;
    numIps_ = 0;
    ips_.clear();
    subnetNetwork_ = 0;
    subnetMask_ = 0;
    rangeStart_ = 0;
    rangeEnd_ = 0;
    destIp_ = 0;
    destPort_ = 0;
    sessionId_ = 0;
    connectionType_ = 0;
    errorCode_ = 0;
}

std::wstring CHVNProtocolParser::UserNameWide() const { return bx::WideFromUtf8(userName_, userNameLength_); }

std::wstring CHVNProtocolParser::DomainNameWide() const { return bx::WideFromUtf8(domainName_, domainNameLength_); }

void CHVNProtocolParser::Note(uint32_t priority, const wchar_t* format, ...) const {
    if (priority == bx::kPriorityDebug && !Verbose()) return;
    wchar_t message[bx::kLogMessageChars];
    message[0] = L'\0';
    va_list args;
    va_start(args, format);
    std::vswprintf(message, bx::kLogMessageChars, format, args);
    va_end(args);
    message[bx::kLogMessageChars - 1] = L'\0';
    switch (priority) {
        case bx::kPriorityError:
            LogError(L"%ls%ls", prefix_, message);
            break;
        case bx::kPriorityWarning:
            LogWarning(L"%ls%ls", prefix_, message);
            break;
        case bx::kPriorityInformation:
            LogInfo(L"%ls%ls", prefix_, message);
            break;
        default:
            LogDebug(L"%ls%ls", prefix_, message);
            break;
    }
}

uint32_t CHVNProtocolParser::Parse(const uint8_t* bytes, size_t count, const wchar_t* logPrefix) {
    Reset();
    prefix_ = logPrefix ? logPrefix : L"";
    if (!bytes && count) return bx::err::kInvalidParameter;

    Note(bx::kPriorityDebug, L"Processing response from UTM.ResponseLen:'%d'", static_cast<int>(count));
    if (count <= w::kIvSize) {
        Note(bx::kPriorityError, L"Response length is less then IV");
        return bx::err::kInvalidData;
    }

    // The header and the TLVs: in place behind the IV, or deciphered into the
    // work area. Either way `body` holds exactly count - 8 received bytes.
    const uint8_t* body = bytes + w::kIvSize;
    const size_t bodyLength = count - w::kIvSize;
    if (bytes[w::kOffsetIvFlag] != 0) {
        encrypted_ = true;
        // The listener receives at most 1024 bytes; a longer encrypted body
        // would not fit the work area and is refused rather than cut.
        if (bodyLength > sizeof workArea_) {
            Note(
                bx::kPriorityError,
                L"Corrupted packet. Encrypted packet length:'%d' exceeds the largest packet that can be decrypted:'%d'",
                static_cast<int>(count), static_cast<int>(w::kIvSize + sizeof workArea_));
            return bx::err::kInvalidData;
        }
        bx::DesDecryptDatagram(bytes, count, config_->KeySchedule(), workArea_);
        body = workArea_;
    }
    if (bodyLength < w::kHeaderSize) {
        Note(bx::kPriorityError, L"Corrupted packet. Packet length:'%d' is less than IV and header:'%d'",
             static_cast<int>(count), static_cast<int>(w::kIvAndHeaderSize));
        return bx::err::kInvalidData;
    }

    version_ = body[w::kHeaderVersion];
    messageType_ = body[w::kHeaderMessageType];
    length_ = w::Get16(body + w::kHeaderLength);
    requestId_ = w::Get32(body + w::kHeaderRequestId);
    signature_ = w::Get32(body + w::kHeaderSignature);
    Note(bx::kPriorityDebug, L"Header::Version:'%d'MsgType:'%ls'Signature:'0x%08x'ReqstId:'%ld'Length:'%d'.",
         static_cast<int>(version_), MessageTypeName(messageType_), static_cast<unsigned>(signature_),
         static_cast<long>(static_cast<int32_t>(requestId_)), static_cast<int>(length_));

    if (length_ > count) {
        Note(bx::kPriorityError, L"Corrupted packet. Message length:'%d' exceeds length of the packet:'%d'",
             static_cast<int>(length_), static_cast<int>(count));
        return bx::err::kInvalidData;
    }
    // The TLV area must lie within the received bytes behind the header (for
    // an encrypted packet: within the deciphered bytes).
    const size_t received = bodyLength - w::kHeaderSize;
    if (length_ > received) {
        Note(
            bx::kPriorityError,
            L"Corrupted packet. Message length:'%d' runs past the end of the packet: only '%d' bytes follow the header",
            static_cast<int>(length_), static_cast<int>(received));
        return bx::err::kInvalidData;
    }
    return Walk(body + w::kHeaderSize, length_);
}

uint32_t CHVNProtocolParser::Walk(const uint8_t* area, size_t areaLength) {
    bool unknownMet = false;
    size_t position = 0;
    while (position < areaLength) {
        if (areaLength - position < w::kTlvHeaderSize) {
            Note(bx::kPriorityError,
                 L"Corrupted packet. TLV header at offset:'%d' is cut short by the end of the message:'%d'",
                 static_cast<int>(position), static_cast<int>(areaLength));
            return bx::err::kInvalidData;
        }
        const uint16_t type = w::Get16(area + position);
        const uint16_t length = w::Get16(area + position + 2);
        const size_t valueAt = position + w::kTlvHeaderSize;
        if (length > areaLength - valueAt) {
            Note(bx::kPriorityError,
                 L"Corrupted packet. TLV type:'%d' length:'%d' at offset:'%d' runs past the end of the message:'%d'",
                 static_cast<int>(type), static_cast<int>(length), static_cast<int>(position),
                 static_cast<int>(areaLength));
            return bx::err::kInvalidData;
        }
        if (HandleTlv(type, area + valueAt, length) == TlvOutcome::Unknown) unknownMet = true;
        position = valueAt + length;
    }
    return unknownMet ? bx::err::kInvalidData : bx::err::kSuccess;
}

void CHVNProtocolParser::Unusable(uint16_t type, const wchar_t* message) {
    unusable_ |= w::TlvBit(type);
    Note(bx::kPriorityWarning, L"%ls", message);
}

bool CHVNProtocolParser::CopyText(const uint8_t* value, uint16_t length, char (&field)[w::kMaxTextBytes + 1],
                                  size_t& fieldLength) {
    size_t take = length < w::kMaxTextBytes ? length : w::kMaxTextBytes;
    size_t n = 0;
    while (n < take && value[n] != 0) {
        field[n] = static_cast<char>(value[n]);
        ++n;
    }
    field[n] = '\0';
    fieldLength = n;
    return length <= w::kMaxTextBytes;
}

CHVNProtocolParser::TlvOutcome CHVNProtocolParser::HandleTlv(uint16_t type, const uint8_t* value, uint16_t length) {
    if (type < w::kTlvProtOp || type > w::kTlvLastType) {
        Note(bx::kPriorityWarning, L"Unkwnown TLV ='%d'", static_cast<int>(type));
        return TlvOutcome::Unknown;
    }
    present_ |= w::TlvBit(type);
    switch (type) {
        case w::kTlvProtOp:
            if (length < w::kLenProtOp) {
                Unusable(type, L"Got Empty Prot/op TLV");
                break;
            }
            protocol_ = w::ProtocolOf(value[0]);
            operation_ = w::OperationOf(value[0]);
            Note(bx::kPriorityDebug, L"Got Prot/op TLV: %ls/%ls", ProtocolName(protocol_), OperationName(operation_));
            break;
        case w::kTlvUserName:
            if (length == 0) {
                unusable_ |= w::TlvBit(type);
                userName_[0] = '\0';
                userNameLength_ = 0;
                break;
            }
            if (!CopyText(value, length, userName_, userNameLength_)) {
                Unusable(type, L"Long UserName");
                break;
            }
            Note(bx::kPriorityDebug, L"Got UserName TLV: '%ls'", UserNameWide().c_str());
            break;
        case w::kTlvDomainName:
        case w::kTlvServerName: {
            const bool domain = type == w::kTlvDomainName;
            if (length == 0) {
                unusable_ |= w::TlvBit(type);
                domainName_[0] = '\0';
                domainNameLength_ = 0;
                break;
            }
            if (!CopyText(value, length, domainName_, domainNameLength_)) {
                Unusable(type, domain ? L"Long Domain Name" : L"Long Server Name");
                break;
            }
            if (domain)
                Note(bx::kPriorityDebug, L"Got m_DomainName TLV: '%ls'", DomainNameWide().c_str());
            else
                Note(bx::kPriorityDebug, L"Got Server Name tlv '%ls'", DomainNameWide().c_str());
            break;
        }
        case w::kTlvPort:
            if (length < w::kLenPort) {
                Unusable(type, L"Got Empty Port TLV");
                break;
            }
            port_ = w::Get16(value);
            Note(bx::kPriorityDebug, L"Got Port TLV:%u", static_cast<unsigned>(port_));
            break;
        case w::kTlvNumIps:
            if (length < w::kLenNumIps) {
                Unusable(type, L"Got Empty Num Ips TLV");
                break;
            }
            numIps_ = value[0];
            Note(bx::kPriorityDebug, L"Got Num IPs TLV: %u", static_cast<unsigned>(numIps_));
            break;
        case w::kTlvIp: {
            if (length < w::kLenIp) {
                Unusable(type, L"Got Empty IP TLV ");
                break;
            }
            const uint32_t ip = w::Get32(value);
            ips_.push_back(ip);
            Note(bx::kPriorityDebug, L"Got IP TLV:'%ls'", bx::DottedQuad(ip).c_str());
            break;
        }
        case w::kTlvSubnet:
            if (length < w::kLenSubnet) {
                Unusable(type, L"Got Empty Subnet TLV ");
                break;
            }
            subnetNetwork_ = w::Get32(value);
            subnetMask_ = w::Get32(value + 4);
            Note(bx::kPriorityDebug, L"Got Subnet tlv Nw:'%ls' Mask: '%ls' ", bx::DottedQuad(subnetNetwork_).c_str(),
                 bx::DottedQuad(subnetMask_).c_str());
            break;
        case w::kTlvIpRange:
            // A short range logs the same text as a short Subnet.
            if (length < w::kLenIpRange) {
                Unusable(type, L"Got Empty Subnet TLV ");
            } else {
                rangeStart_ = w::Get32(value);
                rangeEnd_ = w::Get32(value + 4);
                Note(bx::kPriorityDebug, L"Got IP Range TLV: start:'%ls' end: '%ls' ",
                     bx::DottedQuad(rangeStart_).c_str(), bx::DottedQuad(rangeEnd_).c_str());
            }
            Note(bx::kPriorityDebug, L"Got IP Range TLV ");
            break;
        case w::kTlvDestIp:
            if (length < w::kLenDestIp) {
                Unusable(type, L"Got Empty Dest IP TLV ");
                break;
            }
            destIp_ = w::Get32(value);
            Note(bx::kPriorityDebug, L"Got Dest IP TLV:'%ls'", bx::DottedQuad(destIp_).c_str());
            break;
        case w::kTlvDestPort:
            if (length < w::kLenDestPort) {
                Unusable(type, L"Got Empty Dest Port TLV");
                break;
            }
            destPort_ = w::Get16(value);
            Note(bx::kPriorityDebug, L"Got Dest Port TLV:%u", static_cast<unsigned>(destPort_));
            break;
        case w::kTlvSessionId:
            if (length < w::kLenSessionId) {
                Unusable(type, L"Got Empty SessionId TLV");
                break;
            }
            connectionType_ = value[0];
            sessionId_ = w::Get32(value + 1);
            Note(bx::kPriorityDebug, L"Got SessionId TLV. SessionId:'%d' ConnectionType:'%ls'",
                 static_cast<int>(sessionId_), connectionType_ ? L"Non User" : L"User");
            break;
        case w::kTlvErrorIndication:
            if (length < w::kLenErrorIndication) {
                Unusable(type, L"Got Empty Error Indication TLV");
                break;
            }
            errorCode_ = value[0];
            Note(bx::kPriorityDebug, L"Got Error Indication TLV: Type:'%ls'", ErrorName(errorCode_));
            break;
        case w::kTlvUserLoggedOut:
            Note(bx::kPriorityDebug, L"USer Logged out");
            break;
        case w::kTlvReset:
        case w::kTlvPing:
            break;
    }
    return TlvOutcome::Read;
}
