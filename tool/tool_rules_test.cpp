// The tool's data rules, case by case: start page, secret, port field, list
// selections, service paths, Stats rows.
#include "tool/tool_rules.h"

#include <gtest/gtest.h>

#include <set>

namespace bx::tool {
namespace {

TEST(StartPage, WordsChooseThePageInAnyCaseAlsoInsideLongerWords) {
    struct Case {
        const wchar_t* line;
        unsigned page;
    } cases[] = {
        {L"", kSettingsPage},       {L"TSR", kSettingsPage},       {L"tsr", kSettingsPage},
        {L"/xTsRy", kSettingsPage}, {L"ABOUT", kStatsPage},        {L"about", kStatsPage},
        {L"-AbOuT", kStatsPage},    {L"about tsr", kSettingsPage}, {L"tsr about", kSettingsPage},
        {L"abou", kSettingsPage},   {L"something", kSettingsPage},
    };
    for (const Case& c : cases) EXPECT_EQ(StartPageFromCommandLine(c.line), c.page) << "line: " << c.line;
}

TEST(Secret, EvenHexOfAtMostSixteenDigitsPasses) {
    struct Case {
        const wchar_t* secret;
        SecretCheck result;
    } cases[] = {
        {L"", SecretCheck::kOk},
        {L"00", SecretCheck::kOk},
        {L"0123456789abcdef", SecretCheck::kOk},
        {L"ABCDEFabcdef0909", SecretCheck::kOk},
        {L"0", SecretCheck::kBadFormat},
        {L"abc", SecretCheck::kBadFormat},
        {L"0g", SecretCheck::kBadFormat},
        {L"12 4", SecretCheck::kBadFormat},
        {L"0x12", SecretCheck::kBadFormat},
        {L"0123456789abcdef0", SecretCheck::kBadFormat},  // odd and long: the format message comes first
        {L"0123456789abcdef01", SecretCheck::kTooLong},
        {L"0123456789abcdefgh", SecretCheck::kBadFormat},
    };
    for (const Case& c : cases) EXPECT_EQ(CheckSecret(c.secret), c.result) << "secret: " << c.secret;
}

TEST(PortField, ParsesLikeASignedDecimalAndStopsAtTheFirstNonDigit) {
    struct Case {
        const wchar_t* text;
        long port;
        bool inRange;
    } cases[] = {
        {L"2259", 2259, true},
        {L"  2259", 2259, true},
        {L"+2259", 2259, true},
        {L"2259x", 2259, true},
        {L"", 0, true},
        {L"abc", 0, true},
        {L"0", 0, true},
        {L"65535", 65535, true},
        {L"65536", 65536, false},
        {L"-1", -1, false},
        {L"99999999999999999999", 0, false},
    };
    for (const Case& c : cases) {
        long port = ParsePortField(c.text);
        if (c.port != 0 || c.inRange) {
            EXPECT_EQ(port, c.port) << "text: " << c.text;
        }
        EXPECT_EQ(PortInRange(port), c.inRange) << "text: " << c.text;
    }
}

TEST(Lists, AbsentAndOutOfRangeStoredValuesSelectTheDocumentedEntries) {
    EXPECT_EQ(RetriesSelection(-1), 2);  // "5"
    EXPECT_EQ(RetriesSelection(3), 0);
    EXPECT_EQ(RetriesSelection(10), 7);
    EXPECT_EQ(RetriesSelection(20), 0);  // "3"
    EXPECT_EQ(RetriesSelection(2), 0);
    EXPECT_EQ(TimeOutSelection(-1), 0);  // "5"
    EXPECT_EQ(TimeOutSelection(7), 2);
    EXPECT_EQ(TimeOutSelection(30), 5);  // "10"
    EXPECT_EQ(TimeOutSelection(4), 5);
}

TEST(ServicePaths, ProgramPathOfABinaryPathName) {
    struct Case {
        const wchar_t* binaryPath;
        const wchar_t* program;
    } cases[] = {
        {L"C:\\bx\\bxhvns.exe", L"C:\\bx\\bxhvns.exe"},
        {L"  C:\\bx\\bxhvns.exe -service", L"C:\\bx\\bxhvns.exe"},
        {L"\"C:\\Program Files\\bx\\bxhvns.exe\" -service", L"C:\\Program Files\\bx\\bxhvns.exe"},
        {L"\t\"C:\\a b\\x.exe\"", L"C:\\a b\\x.exe"},
        {L"\"C:\\unclosed\\x.exe", L""},
        {L"", L""},
        {L"   ", L""},
    };
    for (const Case& c : cases) EXPECT_EQ(ProgramPathFromBinaryPath(c.binaryPath), c.program) << c.binaryPath;
}

TEST(ServicePaths, ImagePathLosesOnlyEnclosingQuotes) {
    EXPECT_EQ(StripEnclosingQuotes(L"\"C:\\a b\\x.exe\""), L"C:\\a b\\x.exe");
    EXPECT_EQ(StripEnclosingQuotes(L"C:\\x.exe"), L"C:\\x.exe");
    EXPECT_EQ(StripEnclosingQuotes(L"\"C:\\x.exe\" -s"), L"\"C:\\x.exe\" -s");
    EXPECT_EQ(StripEnclosingQuotes(L"\""), L"\"");
    EXPECT_EQ(StripEnclosingQuotes(L"\"\""), L"");
}

TEST(Names, FirewallEntryAndProgramDirectory) {
    EXPECT_EQ(FirewallEntryName(L"Brontavex Halvern", 2259), L"Brontavex Halvern UDP 2259");
    EXPECT_EQ(DirectoryOf(L"C:\\bx\\BXHVNTSR.exe"), L"C:\\bx\\");
    EXPECT_EQ(DirectoryOf(L"BXHVNTSR.exe"), L".\\");
}

TEST(StatsRows, NineRowsFieldSixNowhereResponsesFromFieldNine) {
    std::set<size_t> fields;
    std::set<int> controls;
    for (const StatsRow& row : kStatsRows) {
        fields.insert(row.field);
        controls.insert(row.controlId);
    }
    EXPECT_EQ(std::size(kStatsRows), 9u);
    EXPECT_EQ(fields.size(), 9u);
    EXPECT_EQ(controls.size(), 9u);
    EXPECT_EQ(fields.count(6), 0u);
    EXPECT_EQ(kStatsRows[3].controlId, 1045);
    EXPECT_EQ(kStatsRows[3].field, 9u);
}

}  // namespace
}  // namespace bx::tool
