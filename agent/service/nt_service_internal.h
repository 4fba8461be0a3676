// What the service framework's files share (nt_service.cpp, the in-service
// side; nt_service_control.cpp, the command line and the side that drives the
// SCM; nt_service_messages.cpp, texts and event-log reports). Private to
// agent/service.
#pragma once
#include <windows.h>

#include <string>

namespace bx::service::detail {

constexpr DWORD kUnchanged = static_cast<DWORD>(-1);

// Event ids the framework writes (texts live in the event message file).
constexpr DWORD kEventStopped = 0x40000003;
constexpr DWORD kEventInstalled = 0x40000002;
constexpr DWORD kEventPaused = 0x40000004;
constexpr DWORD kEventContinued = 0x40000005;
constexpr DWORD kEventShutdown = 0x40000009;
constexpr DWORD kEventFailConnectScm = 0xC0000006;
constexpr DWORD kEventFailOpenService = 0xC0000007;
constexpr DWORD kEventFailDeleteService = 0xC0000008;
constexpr DWORD kEventFailStart = 0xC000000A;
constexpr DWORD kEventFailStop = 0xC000000B;
constexpr DWORD kEventFailContinue = 0xC000000C;
constexpr DWORD kEventFailPause = 0xC000000D;
constexpr DWORD kEventFailWaitForState = 0xC000000E;
constexpr DWORD kEventFailQueryStatus = 0xC000000F;

constexpr wchar_t kServicesKey[] = L"SYSTEM\\CurrentControlSet\\Services\\";

inline bool EqualNoCase(const wchar_t* a, const wchar_t* b) { return _wcsicmp(a, b) == 0; }

inline std::wstring Decimal(DWORD value) { return std::to_wstring(value); }

// Overwrites a secret before the string lets go of its memory.
inline void SecureErase(std::wstring& secret) {
    if (!secret.empty()) SecureZeroMemory(&secret[0], secret.size() * sizeof(wchar_t));
    secret.clear();
}

inline bool IsPendingState(DWORD state) {
    return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING || state == SERVICE_CONTINUE_PENDING ||
           state == SERVICE_PAUSE_PENDING;
}

// Milliseconds since `start` have reached `timeout` (INFINITE never does).
inline bool TimedOut(ULONGLONG start, DWORD timeout) {
    return timeout != INFINITE && GetTickCount64() - start >= timeout;
}

}  // namespace bx::service::detail
