#include "tests/e2e/package_fixture.h"

#include <msi.h>

#include "tests/support/win/driver_services.h"
#include "tests/support/win/service_manager.h"

namespace bx::test::e2e {

std::wstring Package() { return WindowsPath(E2E_PACKAGE); }
std::wstring NextPackage() { return WindowsPath(E2E_NEXT_PACKAGE); }

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH];
    ExpandEnvironmentStringsW(L"%ProgramW6432%\\Brontavex\\Halvern\\", path, MAX_PATH);
    return path;
}

MsiResult Msiexec(const std::wstring& arguments) {
    std::wstring log = bx::test::ExeDirectory() + L"package_msiexec.log";
    DeleteFileW(log.c_str());
    bx::test::ProcessResult run =
        bx::test::RunProcess(L"msiexec " + arguments + L" /qn /l*v " + bx::test::Quote(log), 180000);
    MsiResult result;
    result.exitCode = run.timedOut ? WAIT_TIMEOUT : run.exitCode;
    result.log = bx::test::ReadFileBytes(log);
    return result;
}

bool ReadString(const wchar_t* key, const wchar_t* name, std::wstring& value) {
    wchar_t buffer[512];
    DWORD size = sizeof buffer;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
        return false;
    value = buffer;
    return true;
}

std::vector<std::wstring> InstalledProducts() {
    std::vector<std::wstring> codes;
    wchar_t code[39];
    for (DWORD i = 0; MsiEnumRelatedProductsW(kUpgradeCode, 0, i, code) == ERROR_SUCCESS; ++i) codes.push_back(code);
    return codes;
}

bool ReadDword(const wchar_t* key, const wchar_t* name, DWORD& value) {
    DWORD size = sizeof value;
    return RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_DWORD, nullptr, &value, &size) == ERROR_SUCCESS;
}

void PackageFixture::SetUp() {
    std::string why;
    ASSERT_EQ(0u, bx::test::MakeTransportStandIns(why)) << why;
    RemoveProducts();
    for (const wchar_t* name : {L"bxhvnd", L"bxhvns", L"hvns", L"hvnd"}) ASSERT_TRUE(bx::test::RemoveService(name));
    DeleteFileW(bx::test::InstalledDriverFile().c_str());
    bx::test::ResetInstallerState();
    ClearAgentSettings();
    // "tdx", the reference, is the last of its group.
    ASSERT_EQ(0u, bx::test::WriteGroupOrder({1, bx::test::kTcpipTag, bx::test::kTdxTag}));
}

void PackageFixture::TearDown() {
    RemoveProducts();
    for (const wchar_t* name : {L"bxhvnd", L"bxhvns", L"hvns", L"hvnd"}) bx::test::RemoveService(name);
    bx::test::ResetInstallerState();
    ClearAgentSettings();
}

void PackageFixture::RemoveProducts() {
    for (const std::wstring& code : InstalledProducts()) Msiexec(L"/x " + code);
    bx::test::RemoveDirectoryTree(ProgramFolder());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kProductKey);
}

}  // namespace bx::test::e2e
