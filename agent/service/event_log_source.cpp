#include "agent/service/event_log_source.h"

#include <vector>

using bx::win::CriticalSectionLock;
using bx::win::UniqueRegKey;

namespace {

const wchar_t kEventLogKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\";

// A REG_MULTI_SZ value as its strings. Tolerates a list that lacks its final
// terminators; an empty string ends the list.
std::vector<std::wstring> SplitMultiString(const std::vector<wchar_t>& data) {
    std::vector<std::wstring> items;
    size_t pos = 0;
    while (pos < data.size()) {
        size_t end = pos;
        while (end < data.size() && data[end] != L'\0') ++end;
        if (end == pos) break;
        items.emplace_back(&data[pos], end - pos);
        pos = end + 1;
    }
    return items;
}

std::vector<wchar_t> JoinMultiString(const std::vector<std::wstring>& items) {
    std::vector<wchar_t> data;
    for (const auto& item : items) {
        data.insert(data.end(), item.begin(), item.end());
        data.push_back(L'\0');
    }
    data.push_back(L'\0');
    if (data.size() == 1) data.push_back(L'\0');  // an empty list is two NULs
    return data;
}

// Reads Sources of an open log key. Returns false (and leaves the list alone)
// when the value is missing or not REG_MULTI_SZ.
bool ReadSources(HKEY logKey, std::vector<std::wstring>& sources) {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(logKey, L"Sources", nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_MULTI_SZ)
        return false;
    for (int attempt = 0; attempt < 4; ++attempt) {
        std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
        DWORD got = static_cast<DWORD>(data.size() * sizeof(wchar_t));
        LONG rc = RegQueryValueExW(logKey, L"Sources", nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &got);
        if (rc == ERROR_MORE_DATA) {
            size = got;
            continue;
        }
        if (rc != ERROR_SUCCESS || type != REG_MULTI_SZ) return false;
        data.resize(got / sizeof(wchar_t));
        sources = SplitMultiString(data);
        return true;
    }
    return false;
}

LONG WriteSources(HKEY logKey, const std::vector<std::wstring>& sources) {
    std::vector<wchar_t> data = JoinMultiString(sources);
    return RegSetValueExW(logKey, L"Sources", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                          static_cast<DWORD>(data.size() * sizeof(wchar_t)));
}

}  // namespace

CEventLogSource::CEventLogSource() = default;

CEventLogSource::~CEventLogSource() = default;

void CEventLogSource::SetSourceName(const std::wstring& source) {
    CriticalSectionLock lock(lock_);
    sourceName_ = source;
}

std::wstring CEventLogSource::SourceName() const {
    CriticalSectionLock lock(lock_);
    return sourceName_;
}

uint32_t CEventLogSource::Report(WORD type, DWORD eventId, const wchar_t* const* strings, WORD stringCount) {
    CriticalSectionLock lock(lock_);
    eventSource_.reset();
    eventSource_.reset(RegisterEventSourceW(serverName_.empty() ? nullptr : serverName_.c_str(), sourceName_.c_str()));
    if (!eventSource_) return GetLastError();
    uint32_t result = 0;
    if (!ReportEventW(eventSource_.get(), type, 0, eventId, nullptr, stringCount, 0,
                      const_cast<const wchar_t**>(strings), nullptr))
        result = GetLastError();
    eventSource_.reset();
    return result;
}

uint32_t CEventLogSource::Install(const std::wstring& logName, const std::wstring& source,
                                  const std::wstring& messageFile, DWORD typesSupported, bool flush) {
    // The log's key exists on every Windows; a prefix that lacks it gets it.
    UniqueRegKey logKey;
    std::wstring logPath = kEventLogKey + logName;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, logPath.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                              logKey.put(), nullptr);
    if (rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);

    UniqueRegKey sourceKey;
    rc = RegCreateKeyExW(logKey.get(), source.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, sourceKey.put(), nullptr);
    if (rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);
    rc = RegSetValueExW(sourceKey.get(), L"EventMessageFile", 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(messageFile.c_str()),
                        static_cast<DWORD>((messageFile.size() + 1) * sizeof(wchar_t)));
    if (rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);
    rc = RegSetValueExW(sourceKey.get(), L"TypesSupported", 0, REG_DWORD,
                        reinterpret_cast<const BYTE*>(&typesSupported), sizeof(typesSupported));
    if (rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);
    if (flush) RegFlushKey(sourceKey.get());

    std::vector<std::wstring> sources;
    if (ReadSources(logKey.get(), sources)) {
        bool listed = false;
        for (const auto& s : sources) listed = listed || s == source;  // case-sensitive
        if (!listed) {
            sources.push_back(source);
            rc = WriteSources(logKey.get(), sources);
            if (rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);
            if (flush) RegFlushKey(logKey.get());
        }
    }
    return 0;
}

uint32_t CEventLogSource::Uninstall(const std::wstring& logName, const std::wstring& source, bool flush) {
    UniqueRegKey logKey;
    std::wstring logPath = kEventLogKey + logName;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, logPath.c_str(), 0, KEY_READ | KEY_WRITE, logKey.put());
    if (rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);
    // A source whose key is already gone (another instance sharing the source
    // removed it) counts as removed.
    rc = RegDeleteKeyW(logKey.get(), source.c_str());
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return static_cast<uint32_t>(rc);

    std::vector<std::wstring> sources;
    if (ReadSources(logKey.get(), sources)) {
        std::vector<std::wstring> kept;
        for (auto& s : sources)
            if (s != source) kept.push_back(std::move(s));
        if (kept.size() != sources.size()) {
            rc = WriteSources(logKey.get(), kept);
            if (rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);
        }
    }
    if (flush) RegFlushKey(logKey.get());
    return 0;
}
