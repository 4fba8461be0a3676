// snoopctl: loads the snoop driver stand-in as the kernel service "bxhvnd"
// and feeds it driver records from a scenario file (see scenario.h).
//
//   snoopctl load <bxhvnd.sys>     install and start the driver service
//   snoopctl unload                stop and remove it
//   snoopctl feed [-v] <file|->    send a scenario's records to \\.\bxhvnd
//   snoopctl check <file|->        only parse a scenario and report bad lines
//
// Exit status: 0 done, 1 failed (the message says what and the Windows error
// number), 2 wrong command line.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "platform/win/handles.h"
#include "sim/snoopctl/driver_service.h"
#include "sim/snoopctl/scenario.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// How long a record waits for room in a full driver queue before feed gives up.
constexpr DWORD kQueueFullWaitMs = 10000;

const char kUsage[] =
    "usage: snoopctl load <bxhvnd.sys>    install the driver stand-in and start the kernel service \"bxhvnd\"\n"
    "       snoopctl unload               stop the service, delete it and the installed driver file\n"
    "       snoopctl feed [-v] <file|->   send the scenario's records to \\\\.\\bxhvnd (- reads standard input)\n"
    "       snoopctl check <file|->       parse the scenario and report its bad lines, send nothing\n";

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
    return out;
}

int Usage() {
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

int Failed(const bx::sim::DriverFailure& failure) {
    std::fprintf(stderr, "snoopctl: %s failed Error:%u\n", Utf8(failure.step).c_str(), failure.error);
    return kExitFailure;
}

// Reads a whole file, or standard input for "-". Returns 0 or the error.
DWORD ReadInput(const std::wstring& name, std::string& text) {
    text.clear();
    if (name == L"-") {
        _setmode(_fileno(stdin), _O_BINARY);
        char buffer[65536];
        size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) text.append(buffer, got);
        return std::ferror(stdin) ? ERROR_READ_FAULT : 0;
    }
    bx::win::UniqueFile file(CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return GetLastError();
    DWORD error = 0;
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) {
            error = GetLastError();
            break;
        }
        if (got == 0) break;
        text.append(buffer, got);
    }
    return error;
}

// Parses the input; reports every bad line. Returns false when there was any.
bool LoadScenario(const std::wstring& name, bx::sim::Scenario& scenario, std::string& displayName) {
    displayName = name == L"-" ? "<stdin>" : Utf8(name);
    std::string text;
    if (DWORD error = ReadInput(name, text)) {
        std::fprintf(stderr, "snoopctl: cannot read %s Error:%lu\n", displayName.c_str(), error);
        return false;
    }
    scenario = bx::sim::ParseScenario(text);
    for (const auto& error : scenario.errors)
        std::fprintf(stderr, "%s\n", bx::sim::FormatScenarioError(displayName, error).c_str());
    if (!scenario.errors.empty()) {
        std::fprintf(stderr, "snoopctl: %s has %zu bad line%s; nothing was sent\n", displayName.c_str(),
                     scenario.errors.size(), scenario.errors.size() == 1 ? "" : "s");
        return false;
    }
    return true;
}

int Feed(const std::wstring& name, bool verbose) {
    bx::sim::Scenario scenario;
    std::string displayName;
    if (!LoadScenario(name, scenario, displayName)) return kExitFailure;

    bx::win::UniqueFile device(CreateFileW(SNOOP_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!device) {
        DWORD error = GetLastError();
        std::fprintf(stderr,
                     "snoopctl: cannot open \\\\.\\bxhvnd (is the driver stand-in loaded? snoopctl load <bxhvnd.sys>) "
                     "Error:%lu\n",
                     error);
        return kExitFailure;
    }

    size_t sent = 0;
    int result = 0;
    for (const auto& step : scenario.steps) {
        if (verbose) {
            std::printf("%s:%d: %s\n", displayName.c_str(), step.line, step.text.c_str());
            std::fflush(stdout);
        }
        if (step.kind == bx::sim::ScenarioStep::Kind::Sleep) {
            Sleep(step.sleepMs);
            continue;
        }
        // A full queue means the reader is behind: wait for room rather than
        // drop the record.
        ULONGLONG start = GetTickCount64();
        uint32_t error;
        while ((error = bx::sim::InjectSnoopEvent(device.get(), step.event)) == ERROR_NO_SYSTEM_RESOURCES &&
               GetTickCount64() - start < kQueueFullWaitMs) {
            Sleep(2);
        }
        if (error == ERROR_NO_SYSTEM_RESOURCES) {
            std::fprintf(stderr,
                         "%s:%d: the driver's queue stayed full for %lu ms (is anything reading \\\\.\\bxhvnd?) "
                         "Error:%u\n",
                         displayName.c_str(), step.line, kQueueFullWaitMs, error);
            result = kExitFailure;
            break;
        }
        if (error) {
            std::fprintf(stderr, "%s:%d: DeviceIoControl(inject) failed Error:%u\n", displayName.c_str(), step.line,
                         error);
            result = kExitFailure;
            break;
        }
        ++sent;
    }
    device.reset();
    std::printf("snoopctl: sent %zu of %zu records from %s\n", sent,
                static_cast<size_t>(std::count_if(
                    scenario.steps.begin(), scenario.steps.end(),
                    [](const bx::sim::ScenarioStep& step) { return step.kind == bx::sim::ScenarioStep::Kind::Send; })),
                displayName.c_str());
    return result;
}

int Check(const std::wstring& name) {
    bx::sim::Scenario scenario;
    std::string displayName;
    if (!LoadScenario(name, scenario, displayName)) return kExitFailure;
    std::printf("snoopctl: %s is good: %zu statement%s\n", displayName.c_str(), scenario.steps.size(),
                scenario.steps.size() == 1 ? "" : "s");
    return 0;
}

int Run(int argc, wchar_t** argv) {
    if (argc < 2) return Usage();
    const std::wstring command = argv[1];
    if (command == L"load" && argc == 3) {
        bx::sim::DriverFailure failure;
        if (bx::sim::LoadDriverService(argv[2], failure)) return Failed(failure);
        std::printf("snoopctl: driver service \"bxhvnd\" is running from %s\n",
                    Utf8(bx::sim::InstalledDriverPath()).c_str());
        return 0;
    }
    if (command == L"unload" && argc == 2) {
        bx::sim::DriverFailure failure;
        bool wasLoaded = false;
        if (bx::sim::UnloadDriverService(failure, &wasLoaded)) return Failed(failure);
        std::printf(wasLoaded ? "snoopctl: driver service \"bxhvnd\" stopped and removed\n"
                              : "snoopctl: driver service \"bxhvnd\" was not installed\n");
        return 0;
    }
    if (command == L"feed" && argc == 3) return Feed(argv[2], false);
    if (command == L"feed" && argc == 4 && std::wstring(argv[2]) == L"-v") return Feed(argv[3], true);
    if (command == L"check" && argc == 3) return Check(argv[2]);
    return Usage();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "snoopctl: %s\n", e.what());
        return kExitFailure;
    }
}
