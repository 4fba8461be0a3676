// The portable pieces of the maintenance options and the feedback post: the
// version-text rule, the operating-system table, the report text and form
// body byte for byte, the installation id in the settings store, and the reset
// option's pairs and writes. Natively against the in-memory store, under Wine
// against the real registry.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

#include "agent/program/feedback_form.h"
#include "agent/program/installation_id.h"
#include "agent/program/reset_options.h"
#include "agent/settings/settings_reader.h"
#include "platform/settings_store.h"
#include "tests/support/settings_fixture.h"

namespace {

using namespace bx::feedback;
using namespace bx::maintenance;

TEST(VersionText, InstallerVersionNumbers) {
    struct Case {
        const wchar_t* text;
        int32_t number;
        const wchar_t* version;
    };
    const Case cases[] = {
        {L"50331720", 50331720, L"3.0.72"},  // 0x03000048
        {L"16777216", 16777216, L"1.0.0"},   // 0x01000000
        {L"16908545", 16908545, L"1.2.1"},   // 0x01020101: the third number is the low 8 bits only
        {L"2147483647", INT32_MAX, L"127.255.255"},
        {L"99999999999", INT32_MAX, L"127.255.255"},  // clipped to the largest value
        {L" +7", 7, L"0.0.7"},
        {L"12abc", 12, L"0.0.12"},
        {L"", 0, L"0.0.0"},
        {L"-1", -1, L"255.255.255"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text, c.text + std::wcslen(c.text)));
        EXPECT_EQ(c.number, ParseInstallerVersion(c.text));
        EXPECT_EQ(std::wstring(c.version), VersionText(ParseInstallerVersion(c.text)));
    }
}

// The package's ProductVersion, read while the installer has not registered
// the product yet: the same number the "Version" property would hold.
TEST(VersionText, ProductVersionProperty) {
    struct Case {
        const wchar_t* text;
        bool ok;
        int32_t number;
    };
    const Case cases[] = {
        {L"1.0.0", true, 0x01000000}, {L"1.0.1", true, 0x01000001}, {L"3.0.72.9", true, 50331720},
        {L"255.255.65535", true, -1}, {L"1.0", false, 0},           {L"256.0.0", false, 0},
        {L"1.0.65536", false, 0},     {L"1..0", false, 0},          {L"1.0.0.", false, 0},
        {L" 1.0.0", false, 0},        {L"1.0.0.0.0", false, 0},     {L"", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text, c.text + std::wcslen(c.text)));
        int32_t number = 0;
        EXPECT_EQ(c.ok, ParseProductVersion(c.text, number));
        if (c.ok) {
            EXPECT_EQ(c.number, number);
        }
    }
    int32_t number = 0;
    ASSERT_TRUE(ParseProductVersion(L"1.0.1", number));
    EXPECT_EQ(L"1.0.1", VersionText(number));
}

TEST(OsDescription, Table) {
    struct Case {
        OsFacts facts;
        const wchar_t* text;
    };
    const Case cases[] = {
        {{5, 0, 2195, kWorkstation, 0, L"Service Pack 4"},
         L"Microsoft Windows 2000 Professional 5.0.2195 Service Pack 4 Build 2195"},
        {{5, 0, 2195, kServer, 0, L""}, L"Microsoft Windows 2000 Server 5.0.2195  Build 2195"},
        {{5, 1, 2600, kWorkstation, kSuitePersonal, L"Service Pack 3"},
         L"Microsoft Windows XP Home Edition 5.1.2600 Service Pack 3 Build 2600"},
        {{5, 1, 2600, kWorkstation, 0x100, L"Service Pack 2"},
         L"Microsoft Windows XP Professional 5.1.2600 Service Pack 2 Build 2600"},
        {{5, 2, 3790, kServer, 0, L"Service Pack 2"}, L"5.02 Server 5.2.3790 Service Pack 2 Build 3790"},
        {{5, 2, 3790, kDomainController, 0, L""}, L"5.02 Domain Controller 5.2.3790  Build 3790"},
        {{6, 0, 6002, kWorkstation, kSuitePersonal, L"Service Pack 2"},
         L"Microsoft Windows Vista Home Edition 6.0.6002 Service Pack 2 Build 6002"},
        {{6, 1, 7601, kServer, 0x110, L"Service Pack 1"},
         L"Microsoft Windows Vista Server 6.1.7601 Service Pack 1 Build 7601"},
        {{6, 3, 9600, kDomainController, 0, L""}, L"Microsoft Windows Vista Domain Controller 6.3.9600  Build 9600"},
        {{10, 0, 19045, kWorkstation, 0, L""}, L"10.00 Professional 10.0.19045  Build 19045"},
        {{4, 10, 1381, 0, 0, L"Service Pack 6"}, L"4.10 4.10.1381 Service Pack 6 Build 1381"},  // no product type
    };
    for (const Case& c : cases) EXPECT_EQ(std::wstring(c.text), OsDescription(c.facts));
}

TEST(FeedbackForm, ReportTextAndBodyByteForByte) {
    std::wstring report = ReportText(L"3.0.72", L"ts1.example.test", L"0A1B2C3D-0000-4000-8000-00000000ABCD",
                                     L"Microsoft Windows Vista Server 6.1.7601 Service Pack 1 Build 7601");
    EXPECT_EQ(std::wstring(L"Ostrand Brontavex Halvern\n"
                           L"Version:3.0.72\n"
                           L"Hostname:ts1.example.test\n"
                           L"UID:0A1B2C3D-0000-4000-8000-00000000ABCD\n"
                           L"OS:Microsoft Windows Vista Server 6.1.7601 Service Pack 1 Build 7601\n"
                           L"Architecture:64-bit"),
              report);
    EXPECT_EQ(std::wstring(L"ExtAppName=HVN&Subject=Ostrand Brontavex Halvern Installation Information&Comment=") +
                  report + L"&FromEmailID=reg@example.test&Username=reg@example.test",
              FormBody(report, L"reg@example.test"));
    // Values go in as they are: no URL encoding of "&", "=" or spaces.
    EXPECT_EQ(std::wstring(L"ExtAppName=HVN&Subject=Ostrand Brontavex Halvern Installation Information&Comment=a&b=c "
                           L"d&FromEmailID=&Username="),
              FormBody(L"a&b=c d", L""));
}

// The installation id lives in the agent's key, next to the settings.
class InstallationIdTest : public ::testing::Test {
protected:
    void SetUp() override { ClearId(); }
    void TearDown() override { ClearId(); }
    static void ClearId() {
        bx::settings::Key key;
        if (bx::settings::OpenKey(kAgentKeyPath, bx::settings::Access::Set, key) == 0)
            key.DeleteValue(kInstallationIdValue);
    }
    // The bytes stored, queried into a buffer of exactly the stored size (with
    // room to spare, Wine's registry adds a terminator to a string stored
    // without one, and counts it).
    static std::vector<uint8_t> StoredBytes() {
        bx::settings::Key key;
        uint32_t size = 0, type = 0;
        if (bx::settings::OpenKey(kAgentKeyPath, bx::settings::Access::Query, key) != 0 ||
            key.QueryValue(kInstallationIdValue, &type, nullptr, &size) != 0)
            return {};
        std::vector<uint8_t> bytes(size);
        if (key.QueryValue(kInstallationIdValue, &type, bytes.data(), &size) != 0 || type != bx::settings::kTypeString)
            return {};
        bytes.resize(size);
        return bytes;
    }
};

TEST_F(InstallationIdTest, CreatedOnceStoredWithoutTerminatorThenReadBack) {
    int made = 0;
    auto uuid = [&made](std::wstring& text) {
        ++made;
        text = L"6f9619ff-8b86-d011-b42d-00c04fc964ff";
        return true;
    };
    EXPECT_EQ(std::wstring(L"6F9619FF-8B86-D011-B42D-00C04FC964FF"), ReadOrCreateInstallationId(uuid));
    EXPECT_EQ(1, made);
    std::vector<uint8_t> stored = StoredBytes();
    ASSERT_EQ(72u, stored.size());  // 36 UTF-16 units, no terminator
    EXPECT_EQ(std::wstring(L"6f9619ff-8b86-d011-b42d-00c04fc964ff"), bx::TextFromStoredBytes(stored.data(), 72));

    // The next start reads it back and makes no new one.
    EXPECT_EQ(std::wstring(L"6F9619FF-8B86-D011-B42D-00C04FC964FF"), ReadOrCreateInstallationId(uuid));
    EXPECT_EQ(1, made);
}

TEST_F(InstallationIdTest, StoredIdIsCutTo36AndUpperCased) {
    bx::test::SetString(kAgentKeyPath, kInstallationIdValue, L"abcdef01-2345-6789-abcd-ef0123456789-and-more-text");
    auto never = [](std::wstring&) {
        ADD_FAILURE() << "a stored id needs no new UUID";
        return false;
    };
    EXPECT_EQ(std::wstring(L"ABCDEF01-2345-6789-ABCD-EF0123456789"), ReadOrCreateInstallationId(never));
    // A stored id longer than a 128-byte buffer is cut too, not replaced.
    std::wstring longId = L"abcdef01-2345-6789-abcd-ef0123456789" + std::wstring(100, L'x');
    bx::test::SetString(kAgentKeyPath, kInstallationIdValue, longId);
    EXPECT_EQ(std::wstring(L"ABCDEF01-2345-6789-ABCD-EF0123456789"), ReadOrCreateInstallationId(never));
    EXPECT_EQ(bx::StoredBytesFromText(longId), StoredBytes());
}

TEST_F(InstallationIdTest, NoUuidGivesAnEmptyIdAndStoresNothing) {
    EXPECT_EQ(std::wstring(), ReadOrCreateInstallationId([](std::wstring&) { return false; }));
    EXPECT_TRUE(StoredBytes().empty());
    EXPECT_EQ(std::wstring(), ReadOrCreateInstallationId([](std::wstring& t) {
                  t = L"short";
                  return true;
              }));
    EXPECT_TRUE(StoredBytes().empty());
}

TEST(ResetOptions, PairsOfOptionsAndValues) {
    struct Case {
        std::vector<std::wstring> arguments;
        OptionPairs pairs;
    };
    const Case cases[] = {
        {{L"-reset", L"-plnid", L"42", L"/pm_url", L"http://pm"},
         {{L"-reset", L""}, {L"-plnid", L"42"}, {L"/pm_url", L"http://pm"}}},
        // A value that is itself an option is empty; "-5" is a value (digit).
        {{L"-pm_url", L"-lm_url", L"x", L"-plnid", L"-5"}, {{L"-pm_url", L""}, {L"-lm_url", L"x"}, {L"-plnid", L"-5"}}},
        // The last option has no value; words that follow no option are skipped.
        {{L"word", L"/reset", L"a", L"b", L"-lm_url"}, {{L"/reset", L"a"}, {L"-lm_url", L""}}},
        {{L"-", L"/"}, {}},  // a lone sign is no option
    };
    for (const Case& c : cases) EXPECT_EQ(c.pairs, ParseOptionPairs(c.arguments));
}

TEST(ResetOptions, DashValueFirstThenSlashValue) {
    ResetValues v =
        ResetValuesOf(ParseOptionPairs({L"-reset", L"-PLNID", L"-pm_url", L"/pm_url", L"slash-pm", L"-lm_url",
                                        L"dash-lm", L"/lm_url", L"slash-lm", L"/plnid", L"slash-id"}));
    EXPECT_TRUE(v.idOptionGiven);
    EXPECT_EQ(L"slash-id", v.id);  // "-PLNID" (any case) is empty, so "/plnid" counts
    EXPECT_EQ(L"slash-pm", v.pmUrl);
    EXPECT_EQ(L"dash-lm", v.lmUrl);

    ResetValues none = ResetValuesOf(ParseOptionPairs({L"-reset"}));
    EXPECT_FALSE(none.idOptionGiven);
    EXPECT_TRUE(none.id.empty() && none.pmUrl.empty() && none.lmUrl.empty());
}

class ResetTest : public ::testing::Test {
protected:
    void SetUp() override { bx::test::ClearKey(kResetKeyPath); }
    void TearDown() override { bx::test::ClearKey(kResetKeyPath); }
    static bool Has(const wchar_t* name, std::wstring* text = nullptr) {
        bx::settings::Key key;
        if (bx::settings::OpenKey(kResetKeyPath, bx::settings::Access::Query, key) != 0) return false;
        std::vector<uint8_t> bytes(1024);
        uint32_t size = static_cast<uint32_t>(bytes.size()), type = 0;
        if (key.QueryValue(name, &type, bytes.data(), &size) != 0) return false;
        EXPECT_EQ(bx::settings::kTypeString, type);
        bytes.resize(size);
        if (text) {
            *text = bx::TextFromStoredBytes(bytes.data(), bytes.size());
            EXPECT_EQ(bx::StoredBytesFromText(*text), bytes) << "stored with its terminator";
        }
        return true;
    }
};

TEST_F(ResetTest, WritesEachGivenValueThenSetsTheEvent) {
    int events = 0;
    bool eventAfterWrites = false;
    auto setEvent = [&] {
        ++events;
        eventAfterWrites = Has(kPlnIdValue) && Has(kPmUrlValue) && Has(kLmUrlValue);
    };
    EXPECT_TRUE(RunReset({L"-reset", L"-plnid", L"7", L"-pm_url", L"https://pm.test/a b", L"/lm_url", L"https://lm"},
                         kResetKeyPath, setEvent));
    EXPECT_EQ(1, events);
    EXPECT_TRUE(eventAfterWrites);
    std::wstring text;
    EXPECT_TRUE(Has(kPlnIdValue, &text));
    EXPECT_EQ(L"7", text);
    EXPECT_TRUE(Has(kPmUrlValue, &text));
    EXPECT_EQ(L"https://pm.test/a b", text);
    EXPECT_TRUE(Has(kLmUrlValue, &text));
    EXPECT_EQ(L"https://lm", text);
}

TEST_F(ResetTest, EmptyValuesAreNotWritten) {
    int events = 0;
    // "-pm_url" followed directly by another option has an empty value.
    EXPECT_TRUE(RunReset({L"-reset", L"-pm_url", L"-lm_url", L"lm"}, kResetKeyPath, [&] { ++events; }));
    EXPECT_EQ(1, events);
    EXPECT_FALSE(Has(kPmUrlValue));
    EXPECT_FALSE(Has(kPlnIdValue));
    EXPECT_TRUE(Has(kLmUrlValue));

    // Nothing given at all: nothing written, the event is still set.
    bx::test::ClearKey(kResetKeyPath);
    EXPECT_TRUE(RunReset({L"-reset"}, kResetKeyPath, [&] { ++events; }));
    EXPECT_EQ(2, events);
    bx::settings::Key key;
    EXPECT_EQ(2u, bx::settings::OpenKey(kResetKeyPath, bx::settings::Access::Query, key));
}

TEST_F(ResetTest, PlnIdGivenWithBothValuesEmptyDoesNothing) {
    int events = 0;
    EXPECT_FALSE(RunReset({L"-reset", L"-pm_url", L"pm", L"-plnid", L"/plnid"}, kResetKeyPath, [&] { ++events; }));
    EXPECT_FALSE(RunReset({L"-reset", L"/plnid"}, kResetKeyPath, [&] { ++events; }));
    EXPECT_EQ(0, events);
    bx::settings::Key key;
    EXPECT_EQ(2u, bx::settings::OpenKey(kResetKeyPath, bx::settings::Access::Query, key));
}

}  // namespace
