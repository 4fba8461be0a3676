// What the tests of the product's MSI package share: the two packages the
// build makes (this version and the next patch version, for upgrades),
// msiexec run silently with a verbose log, the program folder the package
// installs into, registry reads, and a fixture that starts and ends each case
// with no product, no agent or driver service, no agent settings and no
// installer leftovers, the transport stand-ins and the group order in place (Wine has no "tcpip",
// "tdx" or "netbt" services: tests/support/win/driver_services.h).
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/e2e_fixture.h"

namespace bx::test::e2e {

// The packages, as Windows paths.
std::wstring Package();
std::wstring NextPackage();

// "%ProgramW6432%\Brontavex\Halvern\", where the package installs.
std::wstring ProgramFolder();

struct MsiResult {
    DWORD exitCode = 0;
    std::string log;
};
// Runs "msiexec <arguments> /qn" with a verbose log of its own and returns
// the exit code (WAIT_TIMEOUT after 3 minutes) and the log.
MsiResult Msiexec(const std::wstring& arguments);

// REG_SZ and REG_DWORD values under HKEY_LOCAL_MACHINE.
bool ReadString(const wchar_t* key, const wchar_t* name, std::wstring& value);
bool ReadDword(const wchar_t* key, const wchar_t* name, DWORD& value);

constexpr wchar_t kProductKey[] = L"SOFTWARE\\Brontavex\\Brontavex Halvern";
constexpr wchar_t kUpgradeCode[] = L"{6F1C4E52-8B0D-4C59-9A43-2D7E5B1A0C31}";

// The installed products of the package (any version or variant).
std::vector<std::wstring> InstalledProducts();
constexpr wchar_t kSettingsKey[] = L"SOFTWARE\\Brontavex\\HVNAgent\\Settings";

class PackageFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Removes what earlier cases installed, also what Wine's rollback of a
    // failed removal leaves unregistered.
    static void RemoveProducts();
};

}  // namespace bx::test::e2e
