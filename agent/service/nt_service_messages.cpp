// The service framework's texts: string resources, system error texts,
// messages shown on the console or in a message box, event-log reports.
#include "agent/service/nt_service.h"

#include <shellapi.h>

#include <cwchar>
#include <cwctype>
#include <iterator>

#include "agent/service/nt_service_internal.h"

using bx::win::CriticalSectionLock;
using bx::win::UniqueLocal;
using bx::win::UniqueRegKey;
using bx::win::UniqueScHandle;
using bx::win::UniqueScLock;
using namespace bx::service::detail;

// ---------------------------------------------------------------------------
// Messages

UINT CNTService::MapStringID(UINT id) { return id; }
DWORD CNTService::MapEventID(DWORD id) { return id; }

std::wstring CNTService::LoadResourceString(UINT id) {
    const wchar_t* text = nullptr;
    int length = LoadStringW(GetModuleHandleW(nullptr), MapStringID(id), reinterpret_cast<LPWSTR>(&text), 0);
    return length > 0 && text ? std::wstring(text, static_cast<size_t>(length)) : std::wstring();
}

std::wstring CNTService::GetErrorText(DWORD error) {
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT), reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    UniqueLocal owner(reinterpret_cast<HLOCAL>(text));
    std::wstring result = n && text ? std::wstring(text, n) : std::wstring();
    // System texts end with a line break: the messages carry them inline.
    while (!result.empty() && std::iswspace(result.back())) result.pop_back();
    return result;
}

std::wstring CNTService::FillMessage(const std::wstring& message, const std::wstring& insert1,
                                     const std::wstring& insert2) {
    std::wstring out;
    out.reserve(message.size() + insert1.size() + insert2.size());
    for (size_t i = 0; i < message.size(); ++i) {
        if (message[i] == L'%' && i + 1 < message.size() && (message[i + 1] == L'1' || message[i + 1] == L'2')) {
            out += message[i + 1] == L'1' ? insert1 : insert2;
            ++i;
        } else {
            out += message[i];
        }
    }
    return out;
}

std::wstring CNTService::FormatErrorMessage(UINT messageId, DWORD error, BOOL eventLog) {
    DWORD style = eventLog ? eventLogErrorStyle_ : displayErrorStyle_;
    std::wstring code = Decimal(error);
    switch (style) {
        case StyleCodeAndText:
            return FillMessage(LoadResourceString(IDS_NTSERV_ERROR_WITH_TEXT), code, GetErrorText(error));
        case StyleSystemText:
            return GetErrorText(error);
        case StyleMessageWithCode:
            return FillMessage(LoadResourceString(messageId), code);
        case StyleMessageWithCodeAndText:
            return FillMessage(LoadResourceString(messageId),
                               FillMessage(LoadResourceString(IDS_NTSERV_ERROR_WITH_TEXT), code, GetErrorText(error)));
        case StyleMessageWithSystemText:
            return FillMessage(LoadResourceString(messageId), GetErrorText(error));
        case StyleErrorCode:
        default:
            return code;
    }
}

void CNTService::ReportFailure(UINT messageId, DWORD error, DWORD eventId) {
    std::wstring text = FormatErrorMessage(messageId, error, FALSE) + L"\n";
    OutputDebugStringW(text.c_str());
    if (eventId) WriteEvent(EVENTLOG_ERROR_TYPE, eventId, FormatErrorMessage(messageId, error, TRUE).c_str());
}

void CNTService::WriteEvent(WORD type, DWORD eventId, const wchar_t* string1, const wchar_t* string2) {
    if (!eventLoggingOn_) return;
    const wchar_t* strings[2] = {string1, string2};
    WORD count = string2 ? 2 : (string1 ? 1 : 0);
    eventLogSource_.Report(type, MapEventID(eventId), strings, count);
}

void CNTService::ShowMessage(const std::wstring& text) {
    if (useConsole_)
        WriteStdout(text);
    else
        MessageBoxW(nullptr, text.c_str(), displayName_.c_str(), MB_OK | MB_ICONSTOP | MB_SERVICE_NOTIFICATION);
}

void CNTService::WriteStdout(const std::wstring& text) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!out || out == INVALID_HANDLE_VALUE) return;
    std::wstring line = text + L"\n";
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, line.c_str(), static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    UINT codePage = GetConsoleOutputCP();
    if (!codePage) codePage = CP_ACP;
    int bytes =
        WideCharToMultiByte(codePage, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return;
    std::string narrow(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(codePage, 0, line.c_str(), static_cast<int>(line.size()), &narrow[0], bytes, nullptr, nullptr);
    WriteFile(out, narrow.data(), static_cast<DWORD>(narrow.size()), &written, nullptr);
}

std::wstring CNTService::ModulePath() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return std::wstring();
        if (n < buffer.size()) return std::wstring(buffer.data(), n);
        buffer.resize(buffer.size() * 2);
    }
}
