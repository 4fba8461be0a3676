// A stand-in for the agent service in the tool's window tests, in three roles:
//   tool_test_service             a service that reports running, or stays
//                                 start-pending when "pending.flag" lies
//                                 beside it (the image path carries no
//                                 arguments: the About page reads it whole)
//   tool_test_service -restart    what the tool's Apply launches: writes its
//                                 command line to "launched.txt" beside
//                                 itself and ends
// Its version resource (tool_test_service.rc) gives the About page a version
// to show.
#include <windows.h>

#include <cwchar>
#include <string>

#include "platform/win/handles.h"

namespace {

SERVICE_STATUS_HANDLE g_status = nullptr;
HANDLE g_stop = nullptr;
bool g_pending = false;

void Report(DWORD state) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    status.dwWaitHint = state == SERVICE_START_PENDING ? 600000 : 0;
    status.dwCheckPoint = state == SERVICE_START_PENDING ? 1 : 0;
    SetServiceStatus(g_status, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*) {
    if (control == SERVICE_CONTROL_STOP) {
        SetEvent(g_stop);
        return NO_ERROR;
    }
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
    g_status = RegisterServiceCtrlHandlerExW(L"", Handler, nullptr);
    if (!g_status) return;
    Report(g_pending ? SERVICE_START_PENDING : SERVICE_RUNNING);
    WaitForSingleObject(g_stop, INFINITE);
    Report(SERVICE_STOPPED);
}

std::wstring OwnDirectory() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, length);
    return dir.substr(0, dir.find_last_of(L'\\') + 1);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    bool restart = false;
    for (int i = 1; i < argc; ++i)
        if (std::wcscmp(argv[i], L"-restart") == 0) restart = true;
    if (restart) {
        // Written under a temporary name and renamed, so that a reader never
        // sees half a line.
        std::wstring file = OwnDirectory() + L"launched.txt", temp = file + L".tmp";
        {
            bx::win::UniqueFile out(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
            if (!out) return 1;
            std::wstring line = GetCommandLineW();
            DWORD written = 0;
            WriteFile(out.get(), line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, nullptr);
        }
        return MoveFileExW(temp.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
    }
    g_pending = GetFileAttributesW((OwnDirectory() + L"pending.flag").c_str()) != INVALID_FILE_ATTRIBUTES;
    g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    wchar_t name[] = L"";
    SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(GetLastError());
}
