// hvnstat: asks the running agent service for its counters and prints them.
//
//   hvnstat <directory of bxhvns.exe>
//
// Sets the named event "Global\BXGlobalGenXml" (which the service creates),
// waits one second as the configuration tool does, reads "HVNConfig.xml" from
// the service's directory and prints its ten counters, one "name: value" line
// each. Exit code 0, or 1 with a message when the service's event does not
// exist or the file cannot be read, 2 for a wrong command line.
#include <windows.h>

#include <cstdio>
#include <string>

#include "agent/appliance/status_file.h"
#include "platform/win/handles.h"

namespace {

const char* const kCounterNames[bx::kStatusCounters] = {
    "notifications sent",
    "opens entered in the request table",
    "closes and logoffs sent",
    "appliance datagrams not parsed",
    "records in the send queue",
    "notifications given up after retries",
    "send queue capacity",
    "notifications awaiting an answer",
    "records dropped by queue overflow",
    "responses processed",
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: hvnstat <directory of bxhvns.exe>\n");
        return 2;
    }
    std::wstring dir = argv[1];
    if (!dir.empty() && dir.back() != L'\\' && dir.back() != L'/') dir += L'\\';
    const std::wstring path = dir + bx::kStatusFileName;

    bx::win::UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Global\\BXGlobalGenXml"));
    if (!event) {
        std::fprintf(
            stderr,
            "hvnstat: the agent's event Global\\BXGlobalGenXml is not there (is the service running?) Error:%lu\n",
            GetLastError());
        return 1;
    }
    BOOL set = SetEvent(event.get());
    DWORD setError = GetLastError();
    event.reset();
    if (!set) {
        std::fprintf(stderr, "hvnstat: SetEvent failed Error:%lu\n", setError);
        return 1;
    }
    Sleep(1000);

    bx::win::UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
    if (!file) {
        std::fprintf(stderr, "hvnstat: cannot open %ls Error:%lu\n", path.c_str(), GetLastError());
        return 1;
    }
    uint8_t bytes[bx::kStatusRecordSize + 1];
    DWORD got = 0;
    BOOL read = ReadFile(file.get(), bytes, sizeof bytes, &got, nullptr);
    DWORD readError = GetLastError();
    file.reset();
    bx::StatisticsSnapshot snapshot;
    if (!read || !bx::DecodeStatusRecord(bytes, got, snapshot)) {
        std::fprintf(stderr, "hvnstat: %ls holds %lu bytes, not a status record (Error:%lu)\n", path.c_str(), got,
                     read ? 0ul : readError);
        return 1;
    }
    std::printf("agent counters (%ls):\n", path.c_str());
    for (size_t i = 0; i < bx::kStatusCounters; ++i)
        std::printf("  %-38s %ld\n", kCounterNames[i], static_cast<long>(snapshot.counters[i]));
    return 0;
}
