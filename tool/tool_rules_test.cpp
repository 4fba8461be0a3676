// The tool's data rules, case by case: start page, secret, port field, list
// selections, service paths, Stats rows.
#include "tool/tool_rules.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <vector>

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

TEST(Lists, StoredValuesOutsideTheListAreShownAsTheyAre) {
    struct Case {
        std::optional<uint32_t> stored;
        std::vector<uint32_t> entries;
        uint32_t selected;
    } cases[] = {
        {std::nullopt, {3, 4, 5, 6, 7, 8, 9, 10}, 5},  // absent: the default entry
        {7, {3, 4, 5, 6, 7, 8, 9, 10}, 7},
        {0, {0, 3, 4, 5, 6, 7, 8, 9, 10}, 0},  // the package allows 0 retries
        {20, {3, 4, 5, 6, 7, 8, 9, 10, 20}, 20},
        {4294967295u, {3, 4, 5, 6, 7, 8, 9, 10, 4294967295u}, 4294967295u},
    };
    for (const Case& c : cases) {
        Choices choices = ListChoices(kRetriesFirst, kRetriesLast, kRetriesAbsent, c.stored);
        EXPECT_EQ(choices.entries, c.entries);
        ASSERT_LT(choices.selection, choices.entries.size());
        EXPECT_EQ(choices.entries[choices.selection], c.selected);
    }
}

TEST(ServicePaths, ProgramPathOfAnImagePath) {
    ASSERT_TRUE(::SetEnvironmentVariableW(L"BX_TOOL_TEST_ROOT", L"C:\\some root"));
    struct Case {
        const wchar_t* imagePath;
        const wchar_t* program;
    } cases[] = {
        {L"C:\\bx\\bxhvns.exe", L"C:\\bx\\bxhvns.exe"},
        {L"  C:\\bx\\bxhvns.exe -service", L"C:\\bx\\bxhvns.exe"},
        // What the package installs: quoted, with the service name after it.
        {L"\"C:\\Program Files\\Brontavex\\Halvern\\bxhvns.exe\" /SN:bxhvns",
         L"C:\\Program Files\\Brontavex\\Halvern\\bxhvns.exe"},
        {L"\t\"C:\\a b\\x.exe\"", L"C:\\a b\\x.exe"},
        {L"%BX_TOOL_TEST_ROOT%\\bxhvns.exe /SN:bxhvns", L"C:\\some root\\bxhvns.exe"},
        {L"\"%BX_TOOL_TEST_ROOT%\\x.exe\" -a", L"C:\\some root\\x.exe"},
        {L"%BX_TOOL_TEST_UNSET%\\x.exe", L"%BX_TOOL_TEST_UNSET%\\x.exe"},
        {L"\"C:\\unclosed\\x.exe", L""},
        {L"", L""},
        {L"   ", L""},
    };
    for (const Case& c : cases) EXPECT_EQ(ProgramPathFromImagePath(c.imagePath), c.program) << c.imagePath;
}

// Unquoted with blanks (Wine's msiexec writes the package's image path so):
// the longest part that names a file, not a file planted at a shorter part.
TEST(ServicePaths, UnquotedImagePathWithBlanksNamesTheExistingProgram) {
    wchar_t temp[MAX_PATH];
    ASSERT_NE(0u, ::GetTempPathW(MAX_PATH, temp));
    const std::wstring root = std::wstring(temp) + L"tool rules";
    const std::wstring program = root + L"\\Program Files\\bxhvns.exe";
    ::CreateDirectoryW(root.c_str(), nullptr);
    ::CreateDirectoryW((root + L"\\Program Files").c_str(), nullptr);
    for (const std::wstring& file : {program, root + L"\\Program"}) {
        HANDLE h = ::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        ::CloseHandle(h);
    }
    EXPECT_EQ(ProgramPathFromImagePath(program + L" /SN:bxhvns"), program);
    EXPECT_EQ(ProgramPathFromImagePath(program), program);
    ::DeleteFileW((root + L"\\Program").c_str());
    ::DeleteFileW(program.c_str());
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
