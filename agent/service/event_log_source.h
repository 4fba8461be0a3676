// The service's event-log writer, and the registration of a program as an
// event source under HKLM\SYSTEM\CurrentControlSet\Services\EventLog\<log>.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/win/handles.h"

class CEventLogSource {
public:
    CEventLogSource();
    ~CEventLogSource();
    CEventLogSource(const CEventLogSource&) = delete;
    CEventLogSource& operator=(const CEventLogSource&) = delete;

    void SetSourceName(const std::wstring& source);
    std::wstring SourceName() const;
    const std::wstring& LogName() const { return logName_; }

    // One report: registers the source on the local machine, reports the event
    // (category 0, no user, the insertion strings, no data) and deregisters.
    // Returns 0 or the Windows error of the failing call.
    uint32_t Report(WORD type, DWORD eventId, const wchar_t* const* strings, WORD stringCount);

    // Registers `source` in the log's registry key: its subkey with
    // EventMessageFile (REG_SZ) and TypesSupported (REG_DWORD), and the source
    // appended to the log's Sources list (REG_MULTI_SZ) when not there yet.
    // Returns 0 or the Windows error.
    static uint32_t Install(const std::wstring& logName, const std::wstring& source, const std::wstring& messageFile,
                            DWORD typesSupported, bool flush);
    // Deletes the source's subkey and takes it out of the log's Sources list.
    static uint32_t Uninstall(const std::wstring& logName, const std::wstring& source, bool flush);

private:
    bx::win::UniqueEventSource eventSource_;  // open only during one report
    std::wstring serverName_;                 // empty: the local machine
    std::wstring sourceName_;
    std::wstring logName_ = L"Application";
    mutable bx::win::CriticalSection lock_;
};
