// CHVNProtocolParser against datagrams written byte by byte from the layout:
// header and values, every TLV type with empty, short, exact and over-long
// values, names, bounds faults, and encrypted datagrams under the key stored
// in the settings when the parser is made. Log lines are read back from a
// real logger's file.
#include "agent/protocol/protocol_parser.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BXLogger.h"
#include "agent/crypto/des.h"
#include "platform/errors.h"
#include "tests/support/settings_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;
using bx::test::CountOf;

constexpr uint32_t kUnknownTlvOrBad = 13;

// ---- Datagrams written from the layout -----------------------------------------
// Only the test's own byte writing is used here, never the parser's helpers.

Bytes Tlv(uint16_t type, const Bytes& value) {
    Bytes out = {static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type), static_cast<uint8_t>(value.size() >> 8),
                 static_cast<uint8_t>(value.size())};
    out.reserve(out.size() + value.size());  // GCC 12 warns falsely (-Warray-bounds) on the insert without it
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// IV (first byte `ivFlag`, then 7 bytes), version 2, message type, TLV-area
// length (by default the size of `tlvs`), request id, DE AD BE EF, TLVs.
Bytes Datagram(uint32_t requestId, const Bytes& tlvs, uint8_t messageType = 2, int lengthField = -1,
               uint8_t ivFlag = 0) {
    uint16_t length = static_cast<uint16_t>(lengthField < 0 ? tlvs.size() : static_cast<size_t>(lengthField));
    uint8_t ivFill = ivFlag ? 0x5A : 0x00;
    Bytes out = {ivFlag,
                 ivFill,
                 ivFill,
                 ivFill,
                 ivFill,
                 ivFill,
                 ivFill,
                 ivFill,
                 0x02,
                 messageType,
                 static_cast<uint8_t>(length >> 8),
                 static_cast<uint8_t>(length),
                 static_cast<uint8_t>(requestId >> 24),
                 static_cast<uint8_t>(requestId >> 16),
                 static_cast<uint8_t>(requestId >> 8),
                 static_cast<uint8_t>(requestId),
                 0xDE,
                 0xAD,
                 0xBE,
                 0xEF};
    out.reserve(out.size() + tlvs.size());  // GCC 12 warns falsely (-Warray-bounds) on the insert without it
    out.insert(out.end(), tlvs.begin(), tlvs.end());
    return out;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// An acknowledgement: response, request id 42, SessionId TLV (User, 7).
const Bytes kAck = {
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,        // NULL IV
    0x02, 0x02, 0x00, 0x09,                                // version 2, Response, length 9
    0x00, 0x00, 0x00, 0x2A,                                // request id 42
    0xDE, 0xAD, 0xBE, 0xEF,                                // signature
    0x00, 0x0C, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x07,  // SessionId: User, 7
};

// ---- Fixture: settings, a logger with a file sink, one parser per datagram ----

class Parser : public bx::test::SettingsTest {
protected:
    void SetUp() override {
        SettingsTest::SetUp();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = std::string("parser_") + info->test_suite_name() + "_" + info->name() + ".log";
        for (char& c : path_)
            if (c == '/') c = '_';
        std::remove(path_.c_str());
        ASSERT_EQ(0u, logger_.Init());
        std::wstring wide(path_.begin(), path_.end());
        ASSERT_EQ(0u, logger_.AddFile(wide.c_str(), 0, LOGGER_OUTPUT_FILE_FLAG_TRUNCATE));
    }
    void TearDown() override {
        parser_.reset();
        logger_.Cleanup();
        std::remove(path_.c_str());
        SettingsTest::TearDown();
    }

    // A new parser (settings read now) parses a heap copy of exactly the
    // datagram's bytes, so that a read past them is caught under ASan.
    // The log file starts empty for each datagram.
    uint32_t Parse(const Bytes& datagram, bool verbose = true, const wchar_t* prefix = L"UTM Resp: ") {
        FreshLog();
        Dword(L"verbose", verbose ? 1 : 0);
        parser_ = std::make_unique<CHVNProtocolParser>(&logger_);
        std::unique_ptr<uint8_t[]> copy(new uint8_t[datagram.size() ? datagram.size() : 1]);
        std::copy(datagram.begin(), datagram.end(), copy.get());
        return parser_->Parse(datagram.empty() ? nullptr : copy.get(), datagram.size(), prefix);
    }
    const CHVNProtocolParser& P() const { return *parser_; }
    void FreshLog() {
        std::wstring wide(path_.begin(), path_.end());
        ASSERT_EQ(0u, logger_.RemoveFile(wide.c_str()));
        ASSERT_EQ(0u, logger_.AddFile(wide.c_str(), 0, LOGGER_OUTPUT_FILE_FLAG_TRUNCATE));
    }

    std::string Log() { return bx::test::ReadFileText(path_); }
    // The whole line that carries `message` behind the prefix (empty if none).
    std::string LineOf(const std::string& message, const std::string& prefix = "UTM Resp: ") {
        std::string text = Log();
        std::string needle = "\t" + prefix + message + "\n";
        size_t at = text.find(needle);
        if (at == std::string::npos) return std::string();
        size_t begin = text.rfind('\n', at);
        begin = begin == std::string::npos ? 0 : begin + 1;
        return text.substr(begin, at + needle.size() - 1 - begin);
    }
    bool Logged(const std::string& message) { return !LineOf(message).empty(); }
    bool LoggedAt(const std::string& label, const std::string& message) {
        return LineOf(message).find(label + "\tId:") != std::string::npos;
    }
    size_t Times(const std::string& message) { return CountOf(Log(), "\tUTM Resp: " + message + "\n"); }

    std::string path_;
    CBXLogger logger_;
    std::unique_ptr<CHVNProtocolParser> parser_;
};

const std::string kError = "Error        ";
const std::string kWarning = "Warning      ";
const std::string kDebug = "Debug        ";

// ---- Header and the acknowledgement --------------------------------------------

TEST_F(Parser, AcknowledgementIsReadWithHeaderAndSessionId) {
    ASSERT_EQ(0u, Parse(kAck));
    EXPECT_EQ(42u, P().RequestId());
    EXPECT_EQ(2, P().Version());
    EXPECT_EQ(2, P().MessageType());
    EXPECT_EQ(0xDEADBEEFu, P().Signature());
    EXPECT_EQ(9, P().Length());
    EXPECT_FALSE(P().WasEncrypted());
    EXPECT_EQ(0x1000u, P().PresentBits());
    EXPECT_EQ(0u, P().UnusableBits());
    EXPECT_TRUE(P().IsUsable(bx::wire::kBitSessionId));
    EXPECT_EQ(7u, P().SessionId());
    EXPECT_EQ(0, P().ConnectionType());

    EXPECT_TRUE(LoggedAt(kDebug, "Processing response from UTM.ResponseLen:'29'")) << Log();
    EXPECT_TRUE(LoggedAt(kDebug, "Header::Version:'2'MsgType:'Response'Signature:'0xdeadbeef'ReqstId:'42'Length:'9'."))
        << Log();
    EXPECT_TRUE(LoggedAt(kDebug, "Got SessionId TLV. SessionId:'7' ConnectionType:'User'")) << Log();
}

TEST_F(Parser, SettingsRecordHasTheParsersLoggingSettingsAndLogger) {
    for (bool verbose : {true, false}) {
        Parse(kAck, verbose);
        EXPECT_EQ(verbose, P().Verbose());
        EXPECT_EQ(verbose, P().Configuration().Verbose());
        EXPECT_NE(nullptr, P().Configuration().Logger());
        EXPECT_EQ(P().Logger(), P().Configuration().Logger());
    }
}

TEST_F(Parser, VerboseOffWritesNothingForAGoodDatagram) {
    ASSERT_EQ(0u, Parse(kAck, false));
    EXPECT_EQ(7u, P().SessionId());
    EXPECT_EQ("", Log());
}

TEST_F(Parser, EveryLineCarriesTheCallersPrefix) {
    Bytes d = Datagram(1, Cat({Tlv(4, {}), Tlv(12, {1, 0, 0, 0, 9})}));
    ASSERT_EQ(0u, Parse(d, true, L"Test% %s: "));
    std::string text = Log();
    ASSERT_EQ(4u, CountOf(text, "\n")) << text;
    EXPECT_EQ(4u, CountOf(text, "\tTest% %s: ")) << text;
    EXPECT_NE(std::string::npos, text.find("\tTest% %s: Got Empty Port TLV\n")) << text;

    // A null prefix is an empty one.
    ASSERT_EQ(0u, Parse(kAck, true, nullptr));
    EXPECT_NE(std::string::npos, Log().find("\tGot SessionId TLV. SessionId:'7' ConnectionType:'User'\n"));
}

TEST_F(Parser, HeaderNamesEveryMessageTypeAndPrintsTheIdSigned) {
    struct {
        uint8_t type;
        const char* name;
    } types[] = {{0, "Notification"}, {1, "Request"}, {2, "Response"}, {3, "Unknown"}, {0xFF, "Unknown"}};
    for (const auto& t : types) {
        ASSERT_EQ(0u, Parse(Datagram(0x80000001u, {}, t.type)));
        EXPECT_EQ(t.type, P().MessageType());
        EXPECT_EQ(0x80000001u, P().RequestId());
        EXPECT_TRUE(Logged(std::string("Header::Version:'2'MsgType:'") + t.name +
                           "'Signature:'0xdeadbeef'ReqstId:'-2147483647'Length:'0'."))
            << t.name << "\n"
            << Log();
    }
    // Version and signature are logged, not checked.
    Bytes odd = Datagram(5, {});
    odd[8] = 9;
    odd[16] = 0x01;
    odd[17] = 0x02;
    odd[18] = 0x03;
    odd[19] = 0x04;
    ASSERT_EQ(0u, Parse(odd));
    EXPECT_EQ(9, P().Version());
    EXPECT_EQ(0x01020304u, P().Signature());
    EXPECT_TRUE(Logged("Header::Version:'9'MsgType:'Response'Signature:'0x01020304'ReqstId:'5'Length:'0'."));
}

TEST_F(Parser, BytesBeyondTheTlvAreaAreIgnored) {
    // As behind an encrypted body: padding and 8 trailing zero bytes.
    Bytes d = Cat({kAck, Bytes(11, 0xEE)});
    ASSERT_EQ(0u, Parse(d));
    EXPECT_EQ(7u, P().SessionId());
    EXPECT_EQ(0x1000u, P().PresentBits());
}

// ---- Fixed-size values: empty, short, exact, over-long -----------------------

struct FixedCase {
    uint16_t type;
    Bytes exact;                                           // a value of exactly the documented size
    std::string emptyMessage;                              // warning for an empty or short value
    std::string gotMessage;                                // debug line for the exact value
    std::function<void(const CHVNProtocolParser&)> check;  // the stored value
};

std::vector<FixedCase> FixedCases() {
    return {
        {1,
         {0x12},
         "Got Empty Prot/op TLV",
         "Got Prot/op TLV: UDP/Close",
         [](const CHVNProtocolParser& p) {
             EXPECT_EQ(2, p.Protocol());
             EXPECT_EQ(1, p.Operation());
         }},
        {4,
         {0x1F, 0x90},
         "Got Empty Port TLV",
         "Got Port TLV:8080",
         [](const CHVNProtocolParser& p) { EXPECT_EQ(8080, p.Port()); }},
        {5,
         {0x03},
         "Got Empty Num Ips TLV",
         "Got Num IPs TLV: 3",
         [](const CHVNProtocolParser& p) { EXPECT_EQ(3, p.NumIps()); }},
        {6,
         {0xC0, 0xA8, 0x01, 0x0A},
         "Got Empty IP TLV ",
         "Got IP TLV:'192.168.1.10'",
         [](const CHVNProtocolParser& p) { EXPECT_EQ(std::vector<uint32_t>{0xC0A8010Au}, p.Ips()); }},
        {7,
         {0x0A, 0x01, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00},
         "Got Empty Subnet TLV ",
         "Got Subnet tlv Nw:'10.1.0.0' Mask: '255.255.0.0' ",
         [](const CHVNProtocolParser& p) {
             EXPECT_EQ(0x0A010000u, p.SubnetNetwork());
             EXPECT_EQ(0xFFFF0000u, p.SubnetMask());
         }},
        {8,
         {0xC0, 0xA8, 0x01, 0x0A, 0xC0, 0xA8, 0x01, 0x14},
         "Got Empty Subnet TLV ",
         "Got IP Range TLV: start:'192.168.1.10' end: '192.168.1.20' ",
         [](const CHVNProtocolParser& p) {
             EXPECT_EQ(0xC0A8010Au, p.RangeStart());
             EXPECT_EQ(0xC0A80114u, p.RangeEnd());
         }},
        {9,
         {0x08, 0x08, 0x04, 0x04},
         "Got Empty Dest IP TLV ",
         "Got Dest IP TLV:'8.8.4.4'",
         [](const CHVNProtocolParser& p) { EXPECT_EQ(0x08080404u, p.DestIp()); }},
        {10,
         {0x01, 0xBB},
         "Got Empty Dest Port TLV",
         "Got Dest Port TLV:443",
         [](const CHVNProtocolParser& p) { EXPECT_EQ(443, p.DestPort()); }},
        {12,
         {0x01, 0x00, 0x00, 0x01, 0x02},
         "Got Empty SessionId TLV",
         "Got SessionId TLV. SessionId:'258' ConnectionType:'Non User'",
         [](const CHVNProtocolParser& p) {
             EXPECT_EQ(258u, p.SessionId());
             EXPECT_EQ(1, p.ConnectionType());
         }},
        {13,
         {0x04},
         "Got Empty Error Indication TLV",
         "Got Error Indication TLV: Type:'Destination route is Local'",
         [](const CHVNProtocolParser& p) { EXPECT_EQ(4, p.ErrorCode()); }},
    };
}

// A later TLV proves that the walk stepped over the value correctly.
const Bytes kTrailer = Tlv(15, {});

TEST_F(Parser, FixedValuesEmptyShortExactAndOverLong) {
    for (const FixedCase& c : FixedCases()) {
        SCOPED_TRACE("type " + std::to_string(c.type));
        const uint32_t bit = 1u << c.type;
        std::vector<Bytes> tooShort = {{}};
        if (c.exact.size() > 1) tooShort.push_back(Bytes(c.exact.begin(), c.exact.end() - 1));
        for (const Bytes& value : tooShort) {
            SCOPED_TRACE("length " + std::to_string(value.size()));
            ASSERT_EQ(0u, Parse(Datagram(1, Cat({Tlv(c.type, value), kTrailer}))));
            EXPECT_EQ(bit | 0x8000u, P().PresentBits());
            EXPECT_EQ(bit, P().UnusableBits());
            EXPECT_FALSE(P().IsUsable(bit));
            EXPECT_TRUE(LoggedAt(kWarning, c.emptyMessage)) << Log();
            EXPECT_TRUE(P().Ips().empty());
        }

        Bytes overLong = c.exact;
        overLong.push_back(0xAB);
        overLong.push_back(0xCD);
        for (const Bytes& value : {c.exact, overLong}) {
            SCOPED_TRACE("length " + std::to_string(value.size()));
            ASSERT_EQ(0u, Parse(Datagram(1, Cat({Tlv(c.type, value), kTrailer}))));
            EXPECT_EQ(bit | 0x8000u, P().PresentBits());
            EXPECT_EQ(0u, P().UnusableBits());
            EXPECT_TRUE(P().IsUsable(bit));
            EXPECT_TRUE(LoggedAt(kDebug, c.gotMessage)) << Log();
            EXPECT_EQ(0u, Times(c.emptyMessage));
            c.check(P());
        }
    }
}

TEST_F(Parser, SevenAndEightByteSubnetAndRange) {
    const Bytes subnet = {0x0A, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00};
    const Bytes range = {0xC0, 0xA8, 0x01, 0x0A, 0xC0, 0xA8, 0x01, 0x14};

    ASSERT_EQ(0u, Parse(Datagram(1, Tlv(7, Bytes(subnet.begin(), subnet.end() - 1)))));
    EXPECT_EQ(0x80u, P().UnusableBits());
    EXPECT_EQ(1u, Times("Got Empty Subnet TLV "));
    EXPECT_EQ(0u, P().SubnetMask());

    ASSERT_EQ(0u, Parse(Datagram(1, Tlv(8, Bytes(range.begin(), range.end() - 1)))));
    EXPECT_EQ(0x100u, P().UnusableBits());
    EXPECT_EQ(1u, Times("Got Empty Subnet TLV "));
    EXPECT_EQ(1u, Times("Got IP Range TLV "));  // after a short range as well
    EXPECT_EQ(0u, P().RangeStart());

    ASSERT_EQ(0u, Parse(Datagram(1, Cat({Tlv(7, subnet), Tlv(8, range)}))));
    EXPECT_EQ(0x180u, P().PresentBits());
    EXPECT_EQ(0u, P().UnusableBits());
    EXPECT_EQ(0x0A000000u, P().SubnetNetwork());
    EXPECT_EQ(0xFF000000u, P().SubnetMask());
    EXPECT_EQ(0xC0A8010Au, P().RangeStart());
    EXPECT_EQ(0xC0A80114u, P().RangeEnd());
    EXPECT_TRUE(Logged("Got Subnet tlv Nw:'10.0.0.0' Mask: '255.0.0.0' "));
    EXPECT_TRUE(Logged("Got IP Range TLV: start:'192.168.1.10' end: '192.168.1.20' "));
    EXPECT_EQ(1u, Times("Got IP Range TLV "));
}

TEST_F(Parser, PortAndDestPortAreKeptApart) {
    ASSERT_EQ(0u, Parse(Datagram(1, Cat({Tlv(4, {0x0D, 0x3D}), Tlv(10, {0x00, 0x50})}))));
    EXPECT_EQ(3389, P().Port());
    EXPECT_EQ(80, P().DestPort());
    // In the other order too, and Dest Port alone leaves the local port alone.
    ASSERT_EQ(0u, Parse(Datagram(1, Cat({Tlv(10, {0x00, 0x50}), Tlv(4, {0x0D, 0x3D})}))));
    EXPECT_EQ(3389, P().Port());
    EXPECT_EQ(80, P().DestPort());
    ASSERT_EQ(0u, Parse(Datagram(1, Tlv(10, {0x00, 0x50}))));
    EXPECT_EQ(0, P().Port());
    EXPECT_FALSE(P().IsPresent(bx::wire::kBitPort));
    EXPECT_EQ(80, P().DestPort());
}

TEST_F(Parser, IpsAreListedInArrivalOrderAndShortOnesLeftOut) {
    Bytes tlvs =
        Cat({Tlv(5, {3}), Tlv(6, {10, 0, 0, 3}), Tlv(6, {10, 0, 0}), Tlv(6, {10, 0, 0, 1}), Tlv(6, {192, 168, 0, 2})});
    ASSERT_EQ(0u, Parse(Datagram(1, tlvs)));
    EXPECT_EQ(3, P().NumIps());
    EXPECT_EQ((std::vector<uint32_t>{0x0A000003u, 0x0A000001u, 0xC0A80002u}), P().Ips());
    EXPECT_EQ(0x40u, P().UnusableBits());  // the short one
    EXPECT_EQ(1u, Times("Got Empty IP TLV "));
    EXPECT_TRUE(Logged("Got IP TLV:'10.0.0.3'"));
    EXPECT_TRUE(Logged("Got IP TLV:'192.168.0.2'"));
}

TEST_F(Parser, ProtOpNamesAndUnknownValues) {
    struct {
        uint8_t value;
        const char* text;
    } cases[] = {{0x01, "TCP/Open"}, {0x02, "UDP/Open"}, {0x11, "TCP/Close"}, {0x23, "Unknown/Unknown"}};
    for (const auto& c : cases) {
        ASSERT_EQ(0u, Parse(Datagram(1, Tlv(1, {c.value}))));
        EXPECT_EQ(c.value & 0x0F, P().Protocol());
        EXPECT_EQ(c.value >> 4, P().Operation());
        EXPECT_TRUE(Logged(std::string("Got Prot/op TLV: ") + c.text)) << Log();
    }
}

TEST_F(Parser, ErrorIndicationAndSessionTypeNames) {
    struct {
        uint8_t code;
        const char* name;
    } cases[] = {{1, "Unknown SessionID"},
                 {2, "Connection Not Found"},
                 {4, "Destination route is Local"},
                 {3, "Uknown"},
                 {0, "Uknown"}};
    for (const auto& c : cases) {
        ASSERT_EQ(0u, Parse(Datagram(1, Tlv(13, {c.code}))));
        EXPECT_EQ(c.code, P().ErrorCode());
        EXPECT_TRUE(Logged(std::string("Got Error Indication TLV: Type:'") + c.name + "'")) << Log();
    }
    // Any non-zero connection type is a non-user one; the id prints signed.
    ASSERT_EQ(0u, Parse(Datagram(1, Tlv(12, {0x07, 0xFF, 0xFF, 0xFF, 0xFE}))));
    EXPECT_EQ(0xFFFFFFFEu, P().SessionId());
    EXPECT_TRUE(Logged("Got SessionId TLV. SessionId:'-2' ConnectionType:'Non User'")) << Log();
}

TEST_F(Parser, FlagsAreSetWhateverTheirValue) {
    ASSERT_EQ(0u, Parse(Datagram(1, Cat({Tlv(14, {}), Tlv(15, {}), Tlv(16, {})}))));
    EXPECT_EQ(0x1C000u, P().PresentBits());
    EXPECT_EQ(0u, P().UnusableBits());
    EXPECT_TRUE(LoggedAt(kDebug, "USer Logged out"));

    // A ping carrying text (as the agent's own ping answer does), and the
    // other flags with stray bytes: still only their bits.
    ASSERT_EQ(0u, Parse(Datagram(7, Cat({Tlv(16, Text("Version: 1.2.3.4")), Tlv(15, {1, 2}), Tlv(14, {9})}), 1)));
    EXPECT_EQ(0x1C000u, P().PresentBits());
    EXPECT_EQ(0u, P().UnusableBits());
    EXPECT_EQ(7u, P().RequestId());
}

TEST_F(Parser, NothingPresentForAnEmptyTlvArea) {
    ASSERT_EQ(0u, Parse(Datagram(3, {})));
    EXPECT_EQ(0u, P().PresentBits());
    EXPECT_EQ(3u, P().RequestId());
}

// ---- Names ------------------------------------------------------------------------

struct NameCase {
    uint16_t type;
    uint32_t bit;
    const char* longMessage;
    const char* gotPrefix;
};
const NameCase kNames[] = {
    {2, 0x4, "Long UserName", "Got UserName TLV: '"},
    {3, 0x8, "Long Domain Name", "Got m_DomainName TLV: '"},
    {11, 0x800, "Long Server Name", "Got Server Name tlv '"},
};

std::string NameOf(const CHVNProtocolParser& p, uint16_t type) {
    return type == 2 ? std::string(p.UserName(), p.UserNameLength())
                     : std::string(p.DomainName(), p.DomainNameLength());
}

TEST_F(Parser, NamesEmptyShortExactAndOverLong) {
    std::string exact(255, 'x');
    for (size_t i = 0; i < exact.size(); ++i) exact[i] = static_cast<char>('a' + i % 26);
    for (const NameCase& c : kNames) {
        SCOPED_TRACE(c.longMessage);
        // Empty: present, unusable, nothing stored.
        ASSERT_EQ(0u, Parse(Datagram(1, Cat({Tlv(c.type, {}), kTrailer}))));
        EXPECT_EQ(c.bit | 0x8000u, P().PresentBits());
        EXPECT_EQ(c.bit, P().UnusableBits());
        EXPECT_EQ("", NameOf(P(), c.type));

        // Short and exactly 255 bytes: kept whole and logged.
        for (const std::string& name : {std::string("alice"), exact}) {
            ASSERT_EQ(0u, Parse(Datagram(1, Cat({Tlv(c.type, Text(name)), kTrailer}))));
            EXPECT_EQ(c.bit | 0x8000u, P().PresentBits());
            EXPECT_EQ(0u, P().UnusableBits());
            EXPECT_EQ(name, NameOf(P(), c.type));
            EXPECT_TRUE(Logged(c.gotPrefix + name + "'")) << Log();
            EXPECT_EQ(0u, Times(c.longMessage));
        }

        // 256 and 300 bytes: the first 255 kept, unusable, one warning.
        for (size_t size : {256u, 300u}) {
            std::string name(size, 'n');
            for (size_t i = 0; i < size; ++i) name[i] = static_cast<char>('A' + i % 26);
            ASSERT_EQ(0u, Parse(Datagram(1, Cat({Tlv(c.type, Text(name)), kTrailer}))));
            EXPECT_EQ(c.bit | 0x8000u, P().PresentBits());
            EXPECT_EQ(c.bit, P().UnusableBits());
            EXPECT_FALSE(P().IsUsable(c.bit));
            EXPECT_EQ(name.substr(0, 255), NameOf(P(), c.type));
            EXPECT_EQ(255u, std::strlen(c.type == 2 ? P().UserName() : P().DomainName()));
            EXPECT_TRUE(LoggedAt(kWarning, c.longMessage)) << Log();
            EXPECT_EQ(0u, CountOf(Log(), c.gotPrefix));
        }
    }
}

TEST_F(Parser, NameStopsAtAZeroByte) {
    ASSERT_EQ(0u, Parse(Datagram(1, Tlv(2, {'b', 'o', 'b', 0, 'x', 'y'}))));
    EXPECT_STREQ("bob", P().UserName());
    EXPECT_EQ(3u, P().UserNameLength());
    EXPECT_TRUE(P().IsUsable(0x4));
}

TEST_F(Parser, DomainAndServerNameShareOneField) {
    ASSERT_EQ(0u, Parse(Datagram(1, Cat({Tlv(2, Text("bob")), Tlv(3, Text("CORP")), Tlv(11, Text("TS01"))}))));
    EXPECT_EQ(0x80Cu, P().PresentBits());
    EXPECT_STREQ("bob", P().UserName());
    EXPECT_STREQ("TS01", P().DomainName());
    EXPECT_TRUE(Logged("Got m_DomainName TLV: 'CORP'"));
    EXPECT_TRUE(Logged("Got Server Name tlv 'TS01'"));

    ASSERT_EQ(0u, Parse(Datagram(1, Cat({Tlv(11, Text("TS01")), Tlv(3, Text("CORP"))}))));
    EXPECT_STREQ("CORP", P().DomainName());
}

TEST_F(Parser, NamesAsWideText) {
    // "Jürgen" and "Ωmega𝄞" (a character outside the 16-bit plane) in UTF-8.
    Bytes user = {'J', 0xC3, 0xBC, 'r', 'g', 'e', 'n'};
    Bytes domain = {0xCE, 0xA9, 'm', 'e', 'g', 'a', 0xF0, 0x9D, 0x84, 0x9E};
    ASSERT_EQ(0u, Parse(Datagram(1, Cat({Tlv(2, user), Tlv(3, domain)}))));
    EXPECT_EQ(7u, P().UserNameLength());  // the bytes are kept as received
    EXPECT_EQ(std::wstring(L"J\u00FCrgen"), P().UserNameWide());
    EXPECT_EQ(std::wstring(L"\u03A9mega\U0001D11E"), P().DomainNameWide());
    if (sizeof(wchar_t) == 2) {
        EXPECT_EQ(7u, P().DomainNameWide().size());  // a surrogate pair
    }
    // How the file spells a non-ASCII character is the logger's choice (UTF-8
    // natively, the ANSI code page on Windows); the line is there either way.
    EXPECT_NE(std::string::npos, Log().find("\tUTM Resp: Got UserName TLV: 'J")) << Log();

    // Malformed sequences: each bad byte becomes U+FFFD, the rest is kept.
    EXPECT_EQ(std::wstring(L"a\uFFFDb"), bx::WideFromUtf8("a\xFF"
                                                          "b",
                                                          3));
    EXPECT_EQ(std::wstring(L"\uFFFD\uFFFDz"), bx::WideFromUtf8("\xC0\xAFz", 3));          // over-long form
    EXPECT_EQ(std::wstring(L"x\uFFFD\uFFFD"), bx::WideFromUtf8("x\xE2\x82", 3));          // cut short
    EXPECT_EQ(std::wstring(L"\uFFFD\uFFFD\uFFFD"), bx::WideFromUtf8("\xED\xA0\x80", 3));  // a surrogate
}

// ---- Unknown types -----------------------------------------------------------------

TEST_F(Parser, UnknownTypeFailsButTheWalkGoesOn) {
    Bytes tlvs = Cat({Tlv(4, {0x00, 0x16}), Tlv(99, {1, 2, 3}), Tlv(0, {}), Tlv(17, {5}), Tlv(12, {0, 0, 0, 0, 5})});
    ASSERT_EQ(kUnknownTlvOrBad, Parse(Datagram(1, tlvs), false));
    EXPECT_TRUE(LoggedAt(kWarning, "Unkwnown TLV ='99'")) << Log();
    EXPECT_TRUE(LoggedAt(kWarning, "Unkwnown TLV ='0'"));
    EXPECT_TRUE(LoggedAt(kWarning, "Unkwnown TLV ='17'"));
    // Values before and after the unknown ones were read.
    EXPECT_EQ(0x1010u, P().PresentBits());
    EXPECT_EQ(22, P().Port());
    EXPECT_EQ(5u, P().SessionId());
}

// ---- Short datagrams and bounds faults ---------------------------------------------

TEST_F(Parser, EightBytesOrLessIsLessThenIv) {
    for (size_t n : {0u, 1u, 8u}) {
        SCOPED_TRACE(n);
        ASSERT_EQ(kUnknownTlvOrBad, Parse(Bytes(n, 0), false));
        EXPECT_TRUE(LoggedAt(kError, "Response length is less then IV")) << Log();
    }
    ASSERT_EQ(kUnknownTlvOrBad, Parse(Bytes(8, 1), false));  // IV flag set: same answer
    EXPECT_EQ(1u, Times("Response length is less then IV"));
    EXPECT_EQ(1u, CountOf(Log(), "\n"));
}

TEST_F(Parser, HeaderCutShortIsRejected) {
    for (size_t n : {9u, 12u, 19u}) {
        SCOPED_TRACE(n);
        Bytes d(kAck.begin(), kAck.begin() + static_cast<long>(n));
        ASSERT_EQ(kUnknownTlvOrBad, Parse(d, false));
        EXPECT_TRUE(LoggedAt(
            kError, "Corrupted packet. Packet length:'" + std::to_string(n) + "' is less than IV and header:'20'"))
            << Log();
        EXPECT_EQ(0u, P().RequestId());
    }
    // The header alone with length 0 is a complete datagram.
    ASSERT_EQ(0u, Parse(Datagram(42, {}), false));
    EXPECT_EQ(42u, P().RequestId());
}

TEST_F(Parser, LengthFieldBeyondTheDatagram) {
    // Documented case: the length field exceeds the whole datagram.
    ASSERT_EQ(kUnknownTlvOrBad, Parse(Datagram(1, Tlv(12, {0, 0, 0, 0, 1}), 2, 30), false));
    EXPECT_TRUE(LoggedAt(kError, "Corrupted packet. Message length:'30' exceeds length of the packet:'29'")) << Log();

    // Within the datagram's count but past its end when counted from behind
    // the header: 9 bytes follow the header, the field says 10..29.
    for (int length : {10, 29}) {
        ASSERT_EQ(kUnknownTlvOrBad, Parse(Datagram(1, Tlv(12, {0, 0, 0, 0, 1}), 2, length), false));
        EXPECT_TRUE(LoggedAt(kError, "Corrupted packet. Message length:'" + std::to_string(length) +
                                         "' runs past the end of the packet: only '9' bytes follow the header"))
            << Log();
        EXPECT_EQ(0u, CountOf(Log(), "exceeds length of the packet"));
        EXPECT_EQ(0u, P().PresentBits());
    }
}

TEST_F(Parser, TlvRunningPastTheAreaOrTheDataIsRejected) {
    // The value runs past the TLV area, though the bytes are there.
    Bytes d = Datagram(1, Cat({Tlv(4, {0, 1}), Tlv(12, {0, 0, 0, 0, 1})}), 2, 13);
    ASSERT_EQ(kUnknownTlvOrBad, Parse(d, false));
    EXPECT_TRUE(LoggedAt(kError,
                         "Corrupted packet. TLV type:'12' length:'5' at offset:'6' runs past the end of the "
                         "message:'13'"))
        << Log();

    // The value runs past the received bytes (the area is the whole rest).
    Bytes cut = Datagram(1, Cat({Tlv(4, {0, 1}), Bytes{0x00, 0x0C, 0x00, 0x05, 0x00, 0x00}}));
    ASSERT_EQ(kUnknownTlvOrBad, Parse(cut, false));
    EXPECT_TRUE(
        Logged("Corrupted packet. TLV type:'12' length:'5' at offset:'6' runs past the end of the "
               "message:'12'"))
        << Log();

    // A declared length of 0xFFFF.
    Bytes huge = Datagram(1, Bytes{0x00, 0x02, 0xFF, 0xFF, 'a', 'b'});
    ASSERT_EQ(kUnknownTlvOrBad, Parse(huge, false));
    EXPECT_TRUE(
        Logged("Corrupted packet. TLV type:'2' length:'65535' at offset:'0' runs past the end of the "
               "message:'6'"))
        << Log();
}

TEST_F(Parser, TlvHeaderCutShortIsRejected) {
    for (size_t left : {1u, 2u, 3u}) {
        SCOPED_TRACE(left);
        Bytes tail = {0x00, 0x0F, 0x00};
        tail.resize(left);
        ASSERT_EQ(kUnknownTlvOrBad, Parse(Datagram(1, Cat({Tlv(15, {}), tail})), false));
        EXPECT_TRUE(LoggedAt(kError,
                             "Corrupted packet. TLV header at offset:'4' is cut short by the end of the "
                             "message:'" +
                                 std::to_string(4 + left) + "'"))
            << Log();
    }
}

// ---- Golden datagrams of each kind ---------------------------------------------------

TEST_F(Parser, PingResetAndLocalRouteDatagrams) {
    const Bytes ping = {0,    0,    0,    0,    0,    0,    0,    0,    0x02, 0x01, 0x00, 0x04,
                        0x00, 0x00, 0x10, 0x01, 0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x10, 0x00, 0x00};
    ASSERT_EQ(0u, Parse(ping));
    EXPECT_EQ(0x10000u, P().PresentBits());
    EXPECT_EQ(4097u, P().RequestId());

    const Bytes reset = {0,    0,    0,    0,    0,    0,    0,    0,    0x02, 0x01, 0x00, 0x04,
                         0x00, 0x00, 0x00, 0x09, 0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x0F, 0x00, 0x00};
    ASSERT_EQ(0u, Parse(reset));
    EXPECT_EQ(0x8000u, P().PresentBits());

    // "Destination route is Local" with a subnet and a range.
    const Bytes local = {0,    0,    0,    0,    0,    0,    0,    0,    0x02, 0x02, 0x00, 0x1D, 0x00,
                         0x00, 0x00, 0x11, 0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x0D, 0x00, 0x01, 0x04, 0x00,
                         0x07, 0x00, 0x08, 0x0A, 0x01, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x08,
                         0x00, 0x08, 0xC0, 0xA8, 0x01, 0x0A, 0xC0, 0xA8, 0x01, 0x14};
    ASSERT_EQ(0u, Parse(local));
    EXPECT_EQ(0x2180u, P().PresentBits());
    EXPECT_EQ(4, P().ErrorCode());
    EXPECT_EQ(0x0A010000u, P().SubnetNetwork());
    EXPECT_EQ(0xFFFF0000u, P().SubnetMask());
    EXPECT_EQ(0xC0A80114u, P().RangeEnd());

    // "Unknown SessionID" echoing a notification's values.
    const Bytes unknown = {0,    0,    0,    0,    0,    0,    0,    0,    0x02, 0x02, 0x00, 0x34, 0x00, 0x00, 0x01,
                           0x00, 0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x0D, 0x00, 0x01, 0x01, 0x00, 0x01, 0x00, 0x01, 0x01,
                           0x00, 0x04, 0x00, 0x02, 0xC3, 0x50, 0x00, 0x05, 0x00, 0x01, 0x01, 0x00, 0x06, 0x00, 0x04,
                           0x0A, 0x00, 0x00, 0x05, 0x00, 0x09, 0x00, 0x04, 0x5D, 0xB8, 0xD8, 0x22, 0x00, 0x0A, 0x00,
                           0x02, 0x01, 0xBB, 0x00, 0x0C, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x03};
    ASSERT_EQ(0u, Parse(unknown));
    EXPECT_EQ(0x3672u, P().PresentBits());
    EXPECT_EQ(0u, P().UnusableBits());
    EXPECT_EQ(1, P().ErrorCode());
    EXPECT_EQ(1, P().Protocol());
    EXPECT_EQ(0, P().Operation());
    EXPECT_EQ(50000, P().Port());
    EXPECT_EQ(std::vector<uint32_t>{0x0A000005u}, P().Ips());
    EXPECT_EQ(0x5DB8D822u, P().DestIp());
    EXPECT_EQ(443, P().DestPort());
    EXPECT_EQ(3u, P().SessionId());
}

// ---- Encrypted datagrams ---------------------------------------------------------------

// The clear acknowledgement with a random IV, enciphered under `keyBytes`
// with the DES helper; 8 + 24 + 8 bytes as the appliance sends it.
Bytes EncryptedAck(const uint8_t (&keyBytes)[8]) {
    Bytes clear = kAck;
    const uint8_t iv[8] = {0x01, 0x9E, 0x37, 0x79, 0xB9, 0x7F, 0x4A, 0x7C};
    std::copy(iv, iv + 8, clear.begin());
    bx::DesKeySchedule schedule;
    bx::DesSetKey(keyBytes, schedule);
    Bytes sent(bx::DesSentLength(clear.size()));
    std::copy(clear.begin(), clear.end(), sent.begin());
    EXPECT_EQ(sent.size(), bx::DesEncryptDatagram(sent.data(), clear.size(), sent.size(), schedule));
    return sent;
}

const uint8_t kKeyBytes[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

TEST_F(Parser, EncryptedUnderTheStoredKeyParses) {
    String(L"key", L"0123456789abcdef");
    Bytes sent = EncryptedAck(kKeyBytes);
    ASSERT_EQ(40u, sent.size());
    ASSERT_EQ(0u, Parse(sent));
    EXPECT_TRUE(P().WasEncrypted());
    EXPECT_EQ(42u, P().RequestId());
    EXPECT_EQ(9, P().Length());
    EXPECT_EQ(0x1000u, P().PresentBits());
    EXPECT_EQ(7u, P().SessionId());
    EXPECT_TRUE(Logged("Processing response from UTM.ResponseLen:'40'"));
}

TEST_F(Parser, EncryptedUnderAnotherKeyIsRejected) {
    String(L"key", L"0123456789abcdec");  // differs outside the parity bits
    ASSERT_EQ(kUnknownTlvOrBad, Parse(EncryptedAck(kKeyBytes), false));
    EXPECT_NE(std::string::npos, Log().find("\tUTM Resp: ")) << "the rejection is logged";
    EXPECT_EQ(0u, P().SessionId());
}

TEST_F(Parser, EachParserUsesTheKeyStoredWhenItWasMade) {
    Bytes sent = EncryptedAck(kKeyBytes);
    String(L"key", L"0123456789ABCDEF");
    Dword(L"verbose", 0);
    CHVNProtocolParser before(&logger_);
    String(L"key", L"FEDCBA9876543210");
    CHVNProtocolParser after(&logger_);
    EXPECT_EQ(0u, before.Parse(sent.data(), sent.size(), L"UTM Resp: "));
    EXPECT_EQ(kUnknownTlvOrBad, after.Parse(sent.data(), sent.size(), L"UTM Resp: "));
    // And a parser made after the key is changed back reads it again.
    String(L"key", L"0123456789ABCDEF");
    EXPECT_EQ(0u, Parse(sent));
}

TEST_F(Parser, AParserOnItsOwnersSettingsUsesThemAndReadsNothing) {
    String(L"key", L"0123456789abcdef");
    Dword(L"verbose", 1);
    const CHVNConfiguration owner;  // what the connection manager read at its start
    // Values changed in the registry since then do not reach such a parser.
    String(L"key", L"FEDCBA9876543210");
    Dword(L"verbose", 0);
    FreshLog();
    CHVNProtocolParser parser(owner, owner, &logger_);
    EXPECT_EQ(&owner, &parser.Configuration());
    EXPECT_TRUE(parser.Verbose());
    EXPECT_EQ(&logger_, parser.Logger());
    const Bytes sent = EncryptedAck(kKeyBytes);
    ASSERT_EQ(0u, parser.Parse(sent.data(), sent.size(), L"UTM Resp: "));
    EXPECT_EQ(7u, parser.SessionId());
    EXPECT_TRUE(LoggedAt(kDebug, "Got SessionId TLV. SessionId:'7' ConnectionType:'User'")) << Log();
}

TEST_F(Parser, EncryptedLengthIsCheckedAgainstTheDecryptedBytes) {
    String(L"key", L"0123456789abcdef");
    Bytes sent = EncryptedAck(kKeyBytes);
    // Without its 8 trailing bytes the body still holds header and TLVs.
    ASSERT_EQ(0u, Parse(Bytes(sent.begin(), sent.begin() + 32)));
    // Cut inside the SessionId TLV: 28 bytes leave 8 behind the header.
    ASSERT_EQ(kUnknownTlvOrBad, Parse(Bytes(sent.begin(), sent.begin() + 28), false));
    EXPECT_TRUE(LoggedAt(kError,
                         "Corrupted packet. Message length:'9' runs past the end of the packet: only '8' "
                         "bytes follow the header"))
        << Log();
    // 16 bytes: not even a header.
    ASSERT_EQ(kUnknownTlvOrBad, Parse(Bytes(sent.begin(), sent.begin() + 16), false));
    EXPECT_TRUE(Logged("Corrupted packet. Packet length:'16' is less than IV and header:'20'")) << Log();
}

TEST_F(Parser, EncryptedBodyLargerThanTheWorkAreaIsRefused) {
    String(L"key", L"0123456789abcdef");
    bx::DesKeySchedule schedule;
    bx::DesSetKey(kKeyBytes, schedule);
    auto build = [&](size_t size) {
        Bytes clear = Cat({kAck, Bytes(size - kAck.size(), 0)});
        clear[0] = 1;
        Bytes sent(bx::DesSentLength(size));
        std::copy(clear.begin(), clear.end(), sent.begin());
        bx::DesEncryptDatagram(sent.data(), size, sent.size(), schedule);
        sent.resize(size);
        return sent;
    };
    // A body of exactly 1024 bytes fits.
    ASSERT_EQ(0u, Parse(build(1032), false));
    EXPECT_EQ(7u, P().SessionId());
    // One more byte does not, nor does a body of 64 KiB.
    for (size_t size : {1033u, 65535u}) {
        ASSERT_EQ(kUnknownTlvOrBad, Parse(build(size), false));
        EXPECT_TRUE(LoggedAt(kError, "Corrupted packet. Encrypted packet length:'" + std::to_string(size) +
                                         "' exceeds the largest packet that can be decrypted:'1032'"))
            << Log();
        EXPECT_EQ(0u, P().SessionId());
    }
    // In clear, a long datagram is read in place.
    Bytes clearLong = Cat({kAck, Bytes(4000, 0)});
    ASSERT_EQ(0u, Parse(clearLong, false));
    EXPECT_EQ(7u, P().SessionId());
}

TEST_F(Parser, ReusedParserStartsEachDatagramAfresh) {
    Dword(L"verbose", 0);
    CHVNProtocolParser parser(&logger_);
    Bytes first = Datagram(1, Cat({Tlv(2, Text("bob")), Tlv(6, {1, 2, 3, 4}), Tlv(4, {0})}));
    ASSERT_EQ(0u, parser.Parse(first.data(), first.size(), L""));
    EXPECT_EQ(0x54u, parser.PresentBits());
    ASSERT_EQ(0u, parser.Parse(kAck.data(), kAck.size(), L""));
    EXPECT_EQ(0x1000u, parser.PresentBits());
    EXPECT_EQ(0u, parser.UnusableBits());
    EXPECT_STREQ("", parser.UserName());
    EXPECT_TRUE(parser.Ips().empty());
    EXPECT_EQ(bx::err::kInvalidParameter, parser.Parse(nullptr, 5, L""));
}

}  // namespace
