// The tool's decisions that depend on data alone (command line, field texts,
// stored values, service paths), apart from the windows that use them, so
// that they can be tested case by case.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// A list of the numbers first to last and the entry to select for a stored
// value: its own entry; `absent` when nothing is stored; a stored value
// outside the list is shown as it is, in an entry of its own in numeric
// order, so that Apply writes it back unchanged (the package accepts
// UTM_RETRIES 0-100 and UTM_TIMEOUT 1-3600, wider than the lists).
struct Choices {
    std::vector<uint32_t> entries;
    size_t selection = 0;
};
Choices ListChoices(uint32_t first, uint32_t last, uint32_t absent, std::optional<uint32_t> stored);
constexpr uint32_t kRetriesFirst = 3, kRetriesLast = 10, kRetriesAbsent = 5;
constexpr uint32_t kTimeOutFirst = 5, kTimeOutLast = 10, kTimeOutAbsent = 5;

// The program path of a service's image path (its binary path name), for
// the version the tool shows and the program -restart runs, with arguments
// ("/SN:bxhvns") left out and environment variables ("%SystemRoot%")
// expanded: leading white space skipped; a quoted path up to its closing
// quote (none: empty); unquoted, the longest part before a blank (or the
// whole) that names an existing file, else the part before the first blank.
// The only reader of image paths in the tool.
std::wstring ProgramPathFromImagePath(const std::wstring& imagePath);

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
