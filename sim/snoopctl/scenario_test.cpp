#include "sim/snoopctl/scenario.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using bx::sim::ParseScenario;
using bx::sim::Scenario;
using bx::sim::ScenarioStep;

// 256 bytes from hex pairs written at the given offsets; all others zero.
std::vector<uint8_t> Record(std::initializer_list<std::pair<size_t, const char*>> pieces) {
    std::vector<uint8_t> bytes(SNOOP_EVENT_SIZE, 0);
    for (const auto& piece : pieces) {
        size_t at = piece.first;
        for (const char* p = piece.second; *p; ++p) {
            if (*p == ' ') continue;
            bytes.at(at++) = static_cast<uint8_t>(std::stoul(std::string(p, 2), nullptr, 16));
            ++p;
        }
    }
    return bytes;
}

std::vector<uint8_t> Bytes(const snoop_event_t& event) {
    const auto* p = reinterpret_cast<const uint8_t*>(&event);
    return std::vector<uint8_t>(p, p + sizeof event);
}

const snoop_event_t& OnlyEvent(const Scenario& scenario) {
    EXPECT_TRUE(scenario.errors.empty()) << scenario.errors.front().message;
    EXPECT_EQ(scenario.steps.size(), 1u);
    EXPECT_EQ(scenario.steps.at(0).kind, ScenarioStep::Kind::Send);
    return scenario.steps.at(0).event;
}

// The first error's message for a one-line scenario.
std::string ErrorOf(const std::string& line) {
    Scenario scenario = ParseScenario(line);
    if (scenario.errors.size() != 1) return "<" + std::to_string(scenario.errors.size()) + " errors>";
    EXPECT_EQ(scenario.errors[0].line, 1);
    EXPECT_TRUE(scenario.steps.empty());
    return scenario.errors[0].message;
}

TEST(SnoopScenarioRecord, OpenFillsEveryFieldAtItsOffset) {
    // Hand-checked: 192.168.1.10 = 0xC0A8010A host order, little-endian in the
    // record; 49152 = 0xC000 and 443 = 0x01BB in network order; 4242 = 0x1092;
    // the SID's header 01 05 + authority 5 big-endian, then 21 1 2 3 1001.
    Scenario scenario = ParseScenario(
        "open tcp 192.168.1.10:49152 -> 93.184.216.34:443 pid 4242 session 2 sid S-1-5-21-1-2-3-1001 file 0x1001\n");
    EXPECT_EQ(Bytes(OnlyEvent(scenario)),
              Record({{0, "01000000"},
                      {4, "00000000"},
                      {8, "0A01A8C0"},
                      {12, "C000"},
                      {16, "22D8B85D"},
                      {20, "01BB"},
                      {24, "9210000000000000"},
                      {32, "02000000"},
                      {40, "0110000000000000"},
                      {72, "01 05 000000000005 15000000 01000000 02000000 03000000 E9030000"}}));
}

TEST(SnoopScenarioRecord, CleanupNeedsOnlyAddressAndFile) {
    Scenario scenario = ParseScenario("cleanup 10.0.0.1:80 file 0xFFFFFFFFFFFFFFFF");
    EXPECT_EQ(Bytes(OnlyEvent(scenario)),
              Record({{4, "01000000"}, {8, "0100000A"}, {12, "0050"}, {40, "FFFFFFFFFFFFFFFF"}}));
}

TEST(SnoopScenarioRecord, OptionalFieldsAndOtherForms) {
    // udp, no remote, decimal file, pending, upper-case keywords in another order.
    Scenario scenario = ParseScenario("OPEN UDP 127.0.0.1:53 File 7 Sid S-1-5-18 Pending 3 Session 0 PID 0x10");
    const snoop_event_t& udp = OnlyEvent(scenario);
    EXPECT_EQ(udp.protocol, SNOOP_PROTOCOL_UDP);
    EXPECT_EQ(udp.local_ip, 0x7F000001u);
    EXPECT_EQ(udp.remote_ip, 0u);
    EXPECT_EQ(udp.remote_port, 0u);
    EXPECT_EQ(udp.file_object, 7u);
    EXPECT_EQ(udp.pending, 3u);
    EXPECT_EQ(udp.process_id, 16u);
    EXPECT_EQ(Bytes(udp), Record({{0, "02"},
                                  {8, "0100007F"},
                                  {12, "0035"},
                                  {24, "10"},
                                  {36, "03"},
                                  {40, "07"},
                                  {72, "0101000000000005 12000000"}}));

    // A numeric protocol, the largest values, and "sid none" (zero bytes).
    scenario = ParseScenario(
        "cleanup 17 255.255.255.255:65535 -> 0.0.0.0:0 file 1 pid 18446744073709551615 session 4294967295 sid none");
    const snoop_event_t& wide = OnlyEvent(scenario);
    EXPECT_EQ(wide.protocol, 17u);
    EXPECT_EQ(wide.local_ip, 0xFFFFFFFFu);
    EXPECT_EQ(wide.local_port, 0xFFFFu);
    EXPECT_EQ(wide.process_id, UINT64_MAX);
    EXPECT_EQ(wide.session_id, UINT32_MAX);
    EXPECT_EQ(wide.sid[0], 0u);
}

TEST(SnoopScenarioRecord, EventSendsAnyTypeWithAnyFields) {
    EXPECT_EQ(Bytes(OnlyEvent(ParseScenario("event 7"))), Record({{4, "07000000"}}));
    EXPECT_EQ(
        Bytes(OnlyEvent(ParseScenario("event 0x10 tcp 1.2.3.4:5 -> 6.7.8.9:10 file 2"))),
        Record({{0, "01"}, {4, "10"}, {8, "04030201"}, {12, "0005"}, {16, "09080706"}, {20, "000A"}, {40, "02"}}));
    // event 0 is an open without the open statement's required fields.
    EXPECT_EQ(Bytes(OnlyEvent(ParseScenario("event 0 pid 9"))), Record({{24, "09"}}));
}

TEST(SnoopScenarioText, CommentsBlanksLineEndsAndSleep) {
    Scenario scenario = ParseScenario(
        "\xEF\xBB\xBF# a scenario\r\n"
        "\r\n"
        "   open tcp 1.1.1.1:1 pid 1 session 1 sid S-1-5-18 file 1   # trailing comment\r\n"
        "\tsleep 250\n"
        "#cleanup 1.1.1.1:1 file 1\n"
        "cleanup 1.1.1.1:1 file 1#no blank before the comment");
    ASSERT_TRUE(scenario.errors.empty()) << scenario.errors.front().message;
    ASSERT_EQ(scenario.steps.size(), 3u);
    EXPECT_EQ(scenario.steps[0].line, 3);
    EXPECT_EQ(scenario.steps[0].text, "open tcp 1.1.1.1:1 pid 1 session 1 sid S-1-5-18 file 1");
    EXPECT_EQ(scenario.steps[1].kind, ScenarioStep::Kind::Sleep);
    EXPECT_EQ(scenario.steps[1].sleepMs, 250u);
    EXPECT_EQ(scenario.steps[1].line, 4);
    EXPECT_EQ(scenario.steps[2].line, 6);
    EXPECT_EQ(scenario.steps[2].event.event_type, SNOOP_EVENT_CLEANUP);
    EXPECT_EQ(scenario.steps[2].text, "cleanup 1.1.1.1:1 file 1");

    EXPECT_TRUE(ParseScenario("").steps.empty());
    EXPECT_TRUE(ParseScenario("\n\n# nothing\n").errors.empty());
}

TEST(SnoopScenarioErrors, EveryBadLineIsReportedWithItsNumber) {
    Scenario scenario = ParseScenario(
        "open tcp 1.1.1.1:1 pid 1 session 1 sid S-1-5-18 file 1\n"
        "opne tcp 1.1.1.1:1\n"
        "# fine\n"
        "sleep\n"
        "cleanup 1.1.1.1:1 file 1\n"
        "cleanup 1.1.1.1:1\n");
    ASSERT_EQ(scenario.errors.size(), 3u);
    EXPECT_EQ(scenario.errors[0].line, 2);
    EXPECT_EQ(scenario.errors[1].line, 4);
    EXPECT_EQ(scenario.errors[2].line, 6);
    EXPECT_EQ(bx::sim::FormatScenarioError("s.txt", scenario.errors[0]),
              "s.txt:2: unknown statement 'opne' (expected open, cleanup, event or sleep)");
    EXPECT_EQ(scenario.steps.size(), 2u);  // the good lines are parsed, but nothing may be sent
}

TEST(SnoopScenarioErrors, Messages) {
    const std::string sid = " sid S-1-5-18";
    const std::string good = "open tcp 1.1.1.1:1 pid 1 session 1" + sid + " file 1";
    ASSERT_EQ(ParseScenario(good).errors.size(), 0u);

    EXPECT_EQ(ErrorOf("open 1.1.1.1:1 pid 1"),
              "open needs a protocol (tcp, udp or a number) before the local address, found '1.1.1.1:1'");
    EXPECT_EQ(ErrorOf("open"), "open needs a protocol (tcp, udp or a number) before the local address");
    EXPECT_EQ(ErrorOf("open tcp pid 1"), "open needs the local address a.b.c.d:port, found 'pid'");
    EXPECT_EQ(ErrorOf("cleanup file 1"), "cleanup needs the local address a.b.c.d:port, found 'file'");
    EXPECT_EQ(ErrorOf("open tcp 1.1.1:1 pid 1"), "bad local address '1.1.1:1' (expected a.b.c.d:port)");
    EXPECT_EQ(ErrorOf("open tcp 1.1.1.256:1"), "bad local address '1.1.1.256:1' (expected a.b.c.d:port)");
    EXPECT_EQ(ErrorOf("open tcp 1.1.1.1.1:1"), "bad local address '1.1.1.1.1:1' (expected a.b.c.d:port)");
    EXPECT_EQ(ErrorOf("open tcp 1.1.1.1:65536"),
              "bad port in local address '1.1.1.1:65536' (expected a decimal port 0 to 65535)");
    EXPECT_EQ(ErrorOf("open tcp 1.1.1.1:"),
              "bad port in local address '1.1.1.1:' (expected a decimal port 0 to 65535)");
    EXPECT_EQ(ErrorOf("open tcp 1.1.1.1:1 -> 2.2.2.2"), "bad remote address '2.2.2.2' (expected a.b.c.d:port)");
    EXPECT_EQ(ErrorOf("open tcp 1.1.1.1:1->2.2.2.2:2"),
              "'->' is a word of its own: put blanks around it in '1.1.1.1:1->2.2.2.2:2'");
    EXPECT_EQ(ErrorOf("open tcp 1.1.1.1:1 ->"), "'->' must be followed by the remote address a.b.c.d:port");
    EXPECT_EQ(ErrorOf("open tcp 1.1.1.1:1 pid 1 -> 2.2.2.2:2"),
              "'->' and the remote address must follow the local address");
    EXPECT_EQ(ErrorOf("event 3 -> 2.2.2.2:2"), "'->' must follow the local address");
    EXPECT_EQ(ErrorOf(good + " user bob"), "unknown word 'user' (expected pid, session, sid, file or pending)");
    EXPECT_EQ(ErrorOf(good + " pid 2"), "'pid' is given twice");
    EXPECT_EQ(ErrorOf("cleanup 1.1.1.1:1 file"), "'file' needs a value");
    EXPECT_EQ(ErrorOf("cleanup 1.1.1.1:1 file 0x"),
              "bad number '0x' for file (expected decimal digits or 0x and hex digits)");
    EXPECT_EQ(ErrorOf("cleanup 1.1.1.1:1 file -1"),
              "bad number '-1' for file (expected decimal digits or 0x and hex digits)");
    EXPECT_EQ(ErrorOf("cleanup 1.1.1.1:1 file 0x12g"),
              "bad number '0x12g' for file (expected decimal digits or 0x and hex digits)");
    EXPECT_EQ(ErrorOf("cleanup 1.1.1.1:1 file 0x10000000000000000"),
              "file '0x10000000000000000' is too large (at most 18446744073709551615)");
    EXPECT_EQ(ErrorOf("cleanup 1.1.1.1:1 file 1 session 4294967296"),
              "session '4294967296' is too large (at most 4294967295)");
    EXPECT_EQ(ErrorOf("open 4294967296 1.1.1.1:1"), "protocol '4294967296' is too large (at most 4294967295)");
    EXPECT_EQ(ErrorOf("open tcp 1.1.1.1:1 pid 1 session 1 file 1"), "open needs 'sid <SID>'");
    EXPECT_EQ(ErrorOf("open tcp 1.1.1.1:1 session 1 file 1" + sid), "open needs 'pid <number>'");
    EXPECT_EQ(ErrorOf("open tcp 1.1.1.1:1 pid 1 file 1" + sid), "open needs 'session <number>'");
    EXPECT_EQ(ErrorOf("open tcp 1.1.1.1:1 pid 1 session 1" + sid), "open needs 'file <file object>'");
    EXPECT_EQ(ErrorOf("cleanup 1.1.1.1:1 pid 1"), "cleanup needs 'file <file object>'");
    EXPECT_EQ(ErrorOf("event"), "event needs its type, a number (0 open, 1 cleanup, others are ignored)");
    EXPECT_EQ(ErrorOf("event tcp"), "bad event type 'tcp' (expected a number: 0 open, 1 cleanup, others are ignored)");
    EXPECT_EQ(ErrorOf("sleep"), "sleep needs a time in milliseconds");
    EXPECT_EQ(ErrorOf("sleep 1 2"), "sleep takes one number, found '2' after it");
    EXPECT_EQ(ErrorOf("sleep soon"), "bad number 'soon' for sleep (expected decimal digits or 0x and hex digits)");
    EXPECT_EQ(ErrorOf("sleep 600001"), "sleep '600001' is too large (at most 600000)");
    EXPECT_EQ(ErrorOf("connect tcp"), "unknown statement 'connect' (expected open, cleanup, event or sleep)");
}

TEST(SnoopScenarioErrors, BadSids) {
    // Rejected alike by ConvertStringSidToSidW (Windows) and the portable
    // parser (native). Wine's converter takes "S-1-5-21--1" and "S-1-5-18-",
    // so those are not among them; it also builds a SID of 16 sub-authorities,
    // which the parser refuses itself.
    for (const char* bad : {"bob", "S-1-5-x", "S-1", "S-2-5-18", "S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16"}) {
        std::string message = ErrorOf(std::string("cleanup 1.1.1.1:1 file 1 sid ") + bad);
        EXPECT_EQ(message.rfind(std::string("bad SID '") + bad +
                                    "' (expected its string form, as S-1-5-21-1-2-3-1001, or none; error ",
                                0),
                  0u)
            << bad << ": " << message;
    }
}

}  // namespace
