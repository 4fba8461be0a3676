// The peer's line format: what scripts split and people read.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/utm/report.h"
#include "sim/utm/wire.h"
#include "tests/support/hex.h"

namespace {

using Bytes = std::vector<uint8_t>;

using utm::test::FromHex;

std::string Describe(const Bytes& b, bool hex = false) {
    const utm::Decoded d = utm::Decode(b.data(), b.size(), utm::Cipher(utm::Key{}));
    return utm::DescribeDatagram(d, hex);
}

TEST(UtmReport, QuotingKeepsEveryLineSplittable) {
    EXPECT_EQ(utm::QuoteValue("alice"), "alice");
    EXPECT_EQ(utm::QuoteValue("198.18.0.1:4500"), "198.18.0.1:4500");
    EXPECT_EQ(utm::QuoteValue("a-b_c@d/e,f+g"), "a-b_c@d/e,f+g");
    EXPECT_EQ(utm::QuoteValue(""), "\"\"");
    EXPECT_EQ(utm::QuoteValue("NT AUTHORITY"), "\"NT AUTHORITY\"");
    EXPECT_EQ(utm::QuoteValue("a=b"), "\"a=b\"");
    EXPECT_EQ(utm::QuoteValue("say \"hi\" \\o/"), "\"say \\\"hi\\\" \\\\o/\"");
    EXPECT_EQ(utm::QuoteValue(std::string("a\nb\0c", 5)), "\"a\\x0ab\\x00c\"");
    // Valid UTF-8 stays readable; bytes that are not UTF-8 are escaped,
    // including over-long forms and surrogates.
    EXPECT_EQ(utm::QuoteValue("J\xc3\xbcrgen"), "\"J\xc3\xbcrgen\"");
    EXPECT_EQ(utm::QuoteValue("\xe2\x82\xac"), "\"\xe2\x82\xac\"");
    EXPECT_EQ(utm::QuoteValue("x\xff"), "\"x\\xff\"");
    EXPECT_EQ(utm::QuoteValue("\xc0\x80"), "\"\\xc0\\x80\"");
    EXPECT_EQ(utm::QuoteValue("\xed\xa0\x80"), "\"\\xed\\xa0\\x80\"");
    EXPECT_EQ(utm::QuoteValue("\xc3"), "\"\\xc3\"");  // cut sequence
    EXPECT_EQ(utm::HexText(FromHex("00ff10").data(), 3), "00ff10");
}

TEST(UtmReport, LinesOfTypicalDatagrams) {
    EXPECT_EQ(Describe(FromHex("0000000000000000 02000004 00000001 deadbeef 000f0000")),
              "len=24 iv=clear status=ok ver=2 type=notification id=1 sig=0xdeadbeef tlvlen=4 extra=0 kind=reset "
              "flags=reset");

    // A notification without names (session known), local address unknown
    // to the driver: every local address listed.
    EXPECT_EQ(Describe(FromHex("0000000000000000 02 00 0029 00000002 deadbeef"
                               "0001 0001 12"  // UDP, close
                               "0004 0002 0035"
                               "0005 0001 02"
                               "0006 0004 c6120001"
                               "0006 0004 0a000005"
                               "000c 0005 01 00000000")),
              "len=61 iv=clear status=ok ver=2 type=notification id=2 sig=0xdeadbeef tlvlen=41 extra=0 "
              "kind=connection proto=udp op=close port=53 nips=2 ips=198.18.0.1,10.0.0.5 session=0 "
              "conntype=nonuser");

    // The agent's ping answer.
    EXPECT_EQ(Describe(FromHex("0000000000000000 02 02 0021 00000007 deadbeef"
                               "0010 0010 56657273696f6e3a20312e302e302e30"  // "Version: 1.0.0.0"
                               "0005 0001 01"
                               "0006 0004 c6120001")),
              "len=53 iv=clear status=ok ver=2 type=response id=7 sig=0xdeadbeef tlvlen=33 extra=0 "
              "kind=ping-answer nips=1 ips=198.18.0.1 flags=ping pingtext=\"Version: 1.0.0.0\"");

    // The appliance's answers as the peer prints what it sends.
    EXPECT_EQ(Describe(utm::SubnetRoute(0, 0x0A000000, 0xFF000000).Clear()),
              "len=37 iv=clear status=ok ver=2 type=response id=0 sig=0xdeadbeef tlvlen=17 extra=0 kind=response "
              "errind=route-local subnet=10.0.0.0/255.0.0.0");
    EXPECT_EQ(Describe(utm::RangeRoute(0, 0x0A010203, 0x0A010209).Clear()),
              "len=37 iv=clear status=ok ver=2 type=response id=0 sig=0xdeadbeef tlvlen=17 extra=0 kind=response "
              "errind=route-local range=10.1.2.3-10.1.2.9");
    EXPECT_EQ(Describe(utm::PingRequest(3).Clear()),
              "len=24 iv=clear status=ok ver=2 type=request id=3 sig=0xdeadbeef tlvlen=4 extra=0 kind=ping "
              "flags=ping");
}

TEST(UtmReport, NamesWithSpacesAndTheHexOption) {
    const Bytes b = FromHex(
        "0000000000000000 02 00 001a 00000005 deadbeef"
        "0002 0006 53595354454d"                // "SYSTEM"
        "0003 000c 4e5420415554484f52495459");  // "NT AUTHORITY"
    EXPECT_EQ(Describe(b),
              "len=46 iv=clear status=ok ver=2 type=notification id=5 sig=0xdeadbeef tlvlen=26 extra=0 kind=other "
              "user=SYSTEM domain=\"NT AUTHORITY\"");
    const std::string withHex = Describe(b, true);
    EXPECT_NE(withHex.find(" hex=00000000000000000200001a00000005deadbeef0002"), std::string::npos) << withHex;
}

TEST(UtmReport, OddInputIsShownNotHidden) {
    // Unknown type, short and repeated values, odd message type, wrong signature.
    EXPECT_EQ(Describe(FromHex("0000000000000000 02 07 0016 00000009 cafebabe"
                               "0063 0003 abcdef"
                               "0004 0001 c0"
                               "000d 0001 09"
                               "000d 0001 01")),
              "len=42 iv=clear status=unknown-tlv ver=2 type=unknown:7 id=9 sig=0xcafebabe tlvlen=22 extra=0 "
              "kind=other errind=unknown-session unknown=99:3:abcdef oddlen=4:1:c0 dup=13");

    // A malformed datagram shows why and its bytes.
    EXPECT_EQ(Describe(FromHex("0000000000000000 02 00 0004 00000001 deadbeef")),
              "len=20 iv=clear status=malformed malformed=\"TLV area of 4 bytes runs past the datagram (0 bytes "
              "behind the header)\" ver=2 type=notification id=1 sig=0xdeadbeef tlvlen=4 kind=other "
              "hex=0000000000000000020000040000000"
              "1deadbeef");
    EXPECT_EQ(Describe(Bytes{}),
              "len=0 status=malformed malformed=\"datagram of 0 bytes is not longer than the IV\" "
              "hex=\"\"");

    // Encrypted under a key the peer does not hold: garbage, marked as such.
    Bytes junk(48, 0x5a);
    junk[0] = 1;
    const std::string line = Describe(junk);
    EXPECT_EQ(line.rfind("len=48 iv=random status=", 0), 0u) << line;
    EXPECT_EQ(line.find("status=ok"), std::string::npos) << line;

    // A long datagram of 1250 empty unknown TLVs and then a length beyond
    // it: 32 list entries, the first 4096 bytes as hex.
    Bytes big(5020, 0);
    big[10] = 0xff;
    const std::string bigLine = Describe(big);
    const std::string unknown = bigLine.substr(bigLine.find(" unknown=") + 9);
    EXPECT_EQ(unknown.substr(0, unknown.find(' ')), [] {
        std::string list;
        for (int i = 0; i < 32; ++i) list += "0:0:,";
        return list + "...";
    }());
    EXPECT_EQ(bigLine.substr(bigLine.size() - 3), "...");
    EXPECT_LT(bigLine.size(), 8192u + 600u);
}

}  // namespace
