// The tool's decisions that depend on data alone (command line, field texts,
// stored values, service paths), apart from the windows that use them, so
// that they can be tested case by case.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace bx::tool {

// Page indexes of the sheet, in tab order.
enum PageIndex : unsigned { kSettingsPage = 0, kStatsPage = 1, kReportsPage = 2, kAboutPage = 3 };

// The first page for a command line: "TSR" anywhere (any case) gives the
// Settings page; otherwise "ABOUT" gives index 1 (the Stats page: the
// documented rule, kept for scripts that rely on it); otherwise the first page.
unsigned StartPageFromCommandLine(const std::wstring& commandLine);

// The shared secret as typed: the agent turns up to 16 hexadecimal digits
// into its DES key, so a longer secret would not be the key it uses.
enum class SecretCheck { kOk, kBadFormat, kTooLong };
constexpr size_t kMaxSecretDigits = 16;
SecretCheck CheckSecret(const std::wstring& secret);

// A stored secret is shown in the field only when shorter than this.
constexpr size_t kShownSecretLimit = 18;

// The port field as a signed decimal number (leading blanks and a sign
// allowed, parsing stops at the first non-digit, no digits give 0), and
// whether it names a UDP port (0 to 65535).
long ParsePortField(const std::wstring& text);
bool PortInRange(long port);

// The list entries and which one to select for a stored value (-1 = absent).
constexpr int kRetriesFirst = 3, kRetriesLast = 10;
constexpr int kTimeOutFirst = 5, kTimeOutLast = 10;
int RetriesSelection(int32_t stored);
int TimeOutSelection(int32_t stored);

// The program path of a service's binary path name: leading white space
// skipped; a quoted path up to its closing quote (none: empty); otherwise up
// to the first blank.
std::wstring ProgramPathFromBinaryPath(const std::wstring& binaryPath);

// An "ImagePath" without the double quotes that enclose it.
std::wstring StripEnclosingQuotes(const std::wstring& path);

// The firewall entry's name: "Brontavex Halvern UDP <port>".
std::wstring FirewallEntryName(const std::wstring& stem, long port);

// The rows of the Stats page, top to bottom: value control and record field.
struct StatsRow {
    int controlId;
    size_t field;
};
constexpr StatsRow kStatsRows[] = {{1035, 0}, {1029, 1}, {1032, 2}, {1045, 9}, {1039, 5},
                                   {1041, 7}, {1033, 3}, {1043, 8}, {1037, 4}};

// "<dir>\" of a full program path, or ".\" when it has no directory.
std::wstring DirectoryOf(const std::wstring& path);

}  // namespace bx::tool
