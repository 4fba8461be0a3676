// The appliance settings record and the registry rules it reads by: against
// the real registry under Wine, against the in-memory store natively.
#include "agent/settings/hvn_configuration.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "BXLogger.h"
#include "tests/support/settings_fixture.h"

namespace bx {
namespace {

using test::SettingsTest;

class Configuration : public SettingsTest {};

std::vector<uint8_t> Bytes(const CHVNConfiguration& config) {
    return std::vector<uint8_t>(config.KeyBytes(), config.KeyBytes() + kKeyBytes);
}

TEST_F(Configuration, AbsentKeyAndAbsentValuesGiveEveryDefault) {
    for (int withKey = 0; withKey < 2; ++withKey) {
        if (withKey) {
            settings::Key key;
            ASSERT_EQ(0u, settings::CreateKey(kSettingsKeyPath, settings::Access::Set, key));
        }
        CHVNConfiguration config;
        EXPECT_EQ(-1, config.Port());
        EXPECT_FALSE(config.HasPort());
        EXPECT_TRUE(config.Address().empty());
        EXPECT_TRUE(config.KeyText().empty());
        EXPECT_EQ(10u, config.TimeOut());
        EXPECT_EQ(3u, config.Retries());
        EXPECT_EQ(std::vector<uint8_t>(8, 0), Bytes(config));
        EXPECT_FALSE(config.Verbose());
        EXPECT_EQ(50000u, config.SendQueueCapacity());
        EXPECT_EQ(L"SOFTWARE\\Brontavex\\HVNAgent\\Settings", config.SettingsKeyPath());
        EXPECT_EQ(nullptr, config.Logger());
    }
}

TEST_F(Configuration, ReadsStoredValues) {
    String(L"ip", L"192.0.2.7");
    Dword(L"port", 6060);
    String(L"key", L"0123456789abcdef");
    Dword(L"TimeOut", 7);
    Dword(L"Retries", 9);
    Dword(L"verbose", 1);
    Dword(L"QueueSizeSendQueue", 80000);
    CHVNConfiguration config;
    EXPECT_EQ(L"192.0.2.7", config.Address());
    EXPECT_EQ(6060, config.Port());
    EXPECT_EQ(6060, config.UdpPort());
    EXPECT_EQ(L"0123456789abcdef", config.KeyText());
    EXPECT_EQ(7u, config.TimeOut());
    EXPECT_EQ(9u, config.Retries());
    EXPECT_TRUE(config.Verbose());
    EXPECT_EQ(80000u, config.SendQueueCapacity());
    // The schedule is the one DES builds from the parsed key bytes.
    const uint8_t expected[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
    DesKeySchedule schedule;
    DesSetKey(expected, schedule);
    EXPECT_EQ(0, std::memcmp(&schedule, &config.KeySchedule(), sizeof schedule));
}

// A component opens the key once and reads its values through it: each read
// answers what is stored when it is made, not when the key was opened.
TEST_F(Configuration, ReaderAnswersWhatIsStoredAtEachRead) {
    Dword(L"port", 1);
    String(L"ip", L"192.0.2.1");
    const SettingsReader reader(kSettingsKeyPath);
    Dword(L"port", 2);
    String(L"ip", L"192.0.2.2");
    std::wstring text;
    EXPECT_EQ(2u, reader.Dword(L"port", 0));
    EXPECT_EQ(0u, reader.String(L"ip", text));
    EXPECT_EQ(L"192.0.2.2", text);
    Dword(L"TimeOut", 30);  // a value added after the open is seen as well
    EXPECT_EQ(30u, reader.Dword(L"TimeOut", 10));
    EXPECT_EQ(10u, reader.Dword(L"Retries", 10));

    // The key deleted while open: every read gives its default, strings an
    // error with empty text.
    test::ClearKey(kSettingsKeyPath);
    EXPECT_EQ(7u, reader.Dword(L"port", 7));
    text = L"stale";
    EXPECT_NE(0u, reader.String(L"ip", text));
    EXPECT_TRUE(text.empty());

    // A key that is absent when the reader is made stays unread, even once it
    // exists: the reader answers defaults and the open's error.
    const SettingsReader absent(kSettingsKeyPath);
    Dword(L"port", 3);
    EXPECT_EQ(9u, absent.Dword(L"port", 9));
    EXPECT_EQ(2u, absent.String(L"ip", text));
    EXPECT_EQ(3u, SettingsReader(kSettingsKeyPath).Dword(L"port", 9));
}

// A configuration made as part of another component takes that component's
// logging settings and reads the appliance values itself.
TEST_F(Configuration, PartOfAComponentSharesItsLoggingSettings) {
    Dword(L"verbose", 1);
    Dword(L"QueueSizeSendQueue", 60000);
    Dword(L"port", 4500);
    const SettingsReader reader(kSettingsKeyPath);
    const CLogImpl owner(reader);
    Dword(L"verbose", 0);  // changed after the owner read it
    CHVNConfiguration part(reader, owner);
    EXPECT_TRUE(part.Verbose());
    EXPECT_EQ(60000u, part.SendQueueCapacity());
    EXPECT_EQ(4500, part.Port());
    EXPECT_EQ(nullptr, part.Logger());
}

TEST_F(Configuration, PortUsesLow16BitsAndMinusOneMeansUnset) {
    Dword(L"port", 70000);
    CHVNConfiguration wide;
    EXPECT_EQ(70000, wide.Port());
    EXPECT_TRUE(wide.HasPort());
    EXPECT_EQ(4464, wide.UdpPort());

    Dword(L"port", 0xFFFFFFFFu);
    CHVNConfiguration unset;
    EXPECT_FALSE(unset.HasPort());
}

TEST_F(Configuration, DwordRuleIgnoresTypeAndRejectsLongValues) {
    // "1" with its terminator is four bytes: 0x31.
    String(L"verbose", L"1");
    // A two-byte binary value is a little-endian number.
    Raw(L"TimeOut", settings::kTypeBinary, {0x34, 0x12});
    // An empty value of at most four bytes reads as 0.
    Raw(L"Retries", settings::kTypeBinary, {});
    // Eight bytes are too many: the default applies.
    Raw(L"port", settings::kTypeQword, {0x50, 0, 0, 0, 0, 0, 0, 0});
    CHVNConfiguration first;
    EXPECT_TRUE(first.Verbose());
    EXPECT_EQ(0x1234u, first.TimeOut());
    EXPECT_EQ(0u, first.Retries());
    EXPECT_EQ(-1, first.Port());
    EXPECT_EQ(0x31u, SettingsReader(kSettingsKeyPath).Dword(L"verbose", 0));

    // A longer string counts as absent.
    String(L"verbose", L"10");
    String(L"TimeOut", L"25");
    CHVNConfiguration second;
    EXPECT_FALSE(second.Verbose());
    EXPECT_EQ(10u, second.TimeOut());
}

TEST_F(Configuration, QueueSizeIsRaisedTo50000) {
    const struct {
        uint32_t stored, used;
    } cases[] = {{1000, 50000}, {0, 50000}, {49999, 50000}, {50000, 50000}, {80000, 80000}, {0xFFFFFFFFu, 0xFFFFFFFFu}};
    for (const auto& c : cases) {
        Dword(L"QueueSizeSendQueue", c.stored);
        CHVNConfiguration config;
        EXPECT_EQ(c.used, config.SendQueueCapacity()) << c.stored;
    }
}

TEST_F(Configuration, ValueNamesIgnoreCase) {
    Dword(L"Verbose", 1);  // the applet reads "Verbose" and writes "verbose"
    EXPECT_TRUE(CHVNConfiguration().Verbose());
    Dword(L"verbose", 0);
    EXPECT_FALSE(CHVNConfiguration().Verbose());
    Dword(L"RETRIES", 5);
    Dword(L"timeout", 6);
    String(L"IP", L"host.example");
    CHVNConfiguration config;
    EXPECT_EQ(5u, config.Retries());
    EXPECT_EQ(6u, config.TimeOut());
    EXPECT_EQ(L"host.example", config.Address());
}

TEST_F(Configuration, StringRule) {
    // Longer than the 2048-byte first buffer: read whole by the second query.
    std::wstring longName(1500, L'h');
    longName += L".example";
    String(L"ip", longName);
    std::wstring text;
    EXPECT_EQ(0u, SettingsReader(kSettingsKeyPath).String(L"ip", text));
    EXPECT_EQ(longName, text);
    EXPECT_EQ(longName, CHVNConfiguration().Address());

    // Exactly 2048 bytes with the terminator fits the first buffer.
    std::wstring fits(1023, L'f');
    String(L"ip", fits);
    EXPECT_EQ(0u, SettingsReader(kSettingsKeyPath).String(L"ip", text));
    EXPECT_EQ(fits, text);

    // Text ends at its first NUL.
    Raw(L"ip", settings::kTypeString, {'a', 0, 'b', 0, 0, 0, 'c', 0, 0, 0});
    EXPECT_EQ(0u, SettingsReader(kSettingsKeyPath).String(L"ip", text));
    EXPECT_EQ(L"ab", text);

    // Size 0 gives an empty string; the type is not checked.
    Raw(L"ip", settings::kTypeString, {});
    text = L"stale";
    EXPECT_EQ(0u, SettingsReader(kSettingsKeyPath).String(L"ip", text));
    EXPECT_TRUE(text.empty());
    test::SetString(kSettingsKeyPath, L"ip", L"expand", settings::kTypeExpandString);
    EXPECT_EQ(L"expand", CHVNConfiguration().Address());

    // Absent value and absent key: empty text and the store's error.
    text = L"stale";
    EXPECT_EQ(2u, SettingsReader(kSettingsKeyPath).String(L"nothing", text));
    EXPECT_TRUE(text.empty());
    test::ClearKey(kSettingsKeyPath);
    text = L"stale";
    EXPECT_EQ(2u, SettingsReader(kSettingsKeyPath).String(L"ip", text));
    EXPECT_TRUE(text.empty());
}

TEST(KeyText, DigitsInBothCasesFillAllEightBytes) {
    const std::vector<uint8_t> expected = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
    for (const wchar_t* text : {L"0123456789abcdef", L"0123456789ABCDEF", L"0123456789aBcDeF"}) {
        uint8_t bytes[8];
        EXPECT_FALSE(KeyTextToBytes(text, bytes));
        EXPECT_EQ(expected, std::vector<uint8_t>(bytes, bytes + 8)) << text;
    }
}

TEST(KeyText, ShortOddAndEmptyKeysPadWithZeros) {
    const struct {
        const wchar_t* text;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {L"abc", {0xab, 0, 0, 0, 0, 0, 0, 0}},
        {L"1f2e", {0x1f, 0x2e, 0, 0, 0, 0, 0, 0}},
        {L"7", {0, 0, 0, 0, 0, 0, 0, 0}},
        {L"", {0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        uint8_t bytes[8] = {9, 9, 9, 9, 9, 9, 9, 9};
        EXPECT_FALSE(KeyTextToBytes(c.text, bytes));
        EXPECT_EQ(c.bytes, std::vector<uint8_t>(bytes, bytes + 8)) << c.text;
    }
}

TEST(KeyText, NonHexCharacterCountsAs0xFF) {
    const struct {
        const wchar_t* text;
        uint8_t first;
    } cases[] = {
        {L"g5", 0xF5},                      // 0xFF << 4 = 0xFF0, + 5, modulo 256
        {L"5g", 0x4F},                      // 0x50 + 0xFF = 0x14F, modulo 256
        {L"zz", 0xEF},                      // 0xFF0 + 0xFF = 0x10EF
        {L" 1", 0xF1}, {L"\u01311", 0x11},  // only the low 8 bits count: U+0131 reads as "1"
    };
    for (const auto& c : cases) {
        uint8_t bytes[8];
        KeyTextToBytes(c.text, bytes);
        EXPECT_EQ(c.first, bytes[0]) << std::hex << static_cast<unsigned>(c.text[0]);
    }
}

TEST(KeyText, LongerThan16CharactersUsesTheFirst16) {
    const std::vector<uint8_t> expected = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
    std::wstring huge = L"0123456789abcdef" + std::wstring(5000, L'9');
    for (const std::wstring& text : {std::wstring(L"0123456789abcdef9"), huge}) {
        uint8_t bytes[8];
        EXPECT_TRUE(KeyTextToBytes(text, bytes));
        EXPECT_EQ(expected, std::vector<uint8_t>(bytes, bytes + 8));
    }
}

TEST_F(Configuration, CutKeyIsUsedAndReportedOnceWhenTheLoggerArrives) {
    std::wstring keyText =
        L"0011223344556677"
        L"8899aabb";
    String(L"key", keyText);
    const char* path = "hvn_configuration_cut_key.log";
    std::remove(path);
    CBXLogger logger;
    ASSERT_EQ(0u, logger.Init());
    ASSERT_EQ(0u, logger.AddFile(L"hvn_configuration_cut_key.log", 0, LOGGER_OUTPUT_FILE_FLAG_TRUNCATE));

    CHVNConfiguration config;  // built before its owner has a logger
    EXPECT_TRUE(config.KeyWasCut());
    EXPECT_EQ(keyText, config.KeyText());
    const std::vector<uint8_t> expected = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
    EXPECT_EQ(expected, Bytes(config));
    config.SetLogger(&logger);
    config.SetLogger(&logger);
    CHVNConfiguration again;  // e.g. the next response parser: no repeat
    again.SetLogger(&logger);
    // A key of 16 characters is not reported.
    String(L"key", L"0011223344556677");
    CHVNConfiguration exact;
    EXPECT_FALSE(exact.KeyWasCut());
    exact.SetLogger(&logger);
    ASSERT_EQ(0u, logger.Cleanup());

    std::string log = test::ReadFileText(path);
    EXPECT_EQ(
        1u, test::CountOf(log, "Encryption key has 24 characters, more than 16: only its first 16 characters are used"))
        << log;
    EXPECT_EQ(1u, test::CountOf(log, "Warning")) << log;
    std::remove(path);
}

// TimeOut x 1000 is the sockets' receive time-out in milliseconds: a stored
// value whose product does not fit 32 bits (above 4,294,967) would wrap to a
// short time-out, so TimeOut is cut to one day, reported once per value.
TEST_F(Configuration, TimeOutIsCutToOneDaySoThatItsMillisecondsFit) {
    const char* path = "hvn_configuration_cut_timeout.log";
    std::remove(path);
    CBXLogger logger;
    ASSERT_EQ(0u, logger.Init());
    ASSERT_EQ(0u, logger.AddFile(L"hvn_configuration_cut_timeout.log", 0, LOGGER_OUTPUT_FILE_FLAG_TRUNCATE));
    struct Case {
        uint32_t stored;
        uint32_t used;
    };
    const Case cases[] = {
        {10, 10}, {86400, 86400}, {86401, 86400}, {4294967, 86400}, {4294968, 86400}, {0xFFFFFFFFu, 86400},
    };
    for (const Case& c : cases) {
        Dword(L"TimeOut", c.stored);
        for (int twice = 0; twice < 2; ++twice) {  // the next parser's configuration says nothing more
            CHVNConfiguration config;
            config.SetLogger(&logger);
            EXPECT_EQ(c.stored, config.StoredTimeOut());
            EXPECT_EQ(c.used, config.TimeOut()) << c.stored;
            EXPECT_EQ(static_cast<uint64_t>(config.TimeOut()) * 1000u, config.TimeOut() * 1000u) << c.stored;
        }
    }
    ASSERT_EQ(0u, logger.Cleanup());
    const std::string log = test::ReadFileText(path);
    EXPECT_EQ(1u, test::CountOf(log, "TimeOut of 86401 seconds is more than 86400: 86400 seconds are used")) << log;
    EXPECT_EQ(1u, test::CountOf(log, "TimeOut of 4294968 seconds is more than 86400")) << log;
    EXPECT_EQ(4u, test::CountOf(log, "Warning")) << log;
    EXPECT_EQ(0u, test::CountOf(log, "TimeOut of 86400 ")) << log;
    std::remove(path);
}

}  // namespace
}  // namespace bx
