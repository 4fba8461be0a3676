#include "tool/dlg_stats.h"

#include <cstdio>
#include <cstring>

#include "agent/appliance/status_file.h"
#include "platform/win/handles.h"
#include "tool/tool_resources.h"
#include "tool/tool_rules.h"

namespace {

constexpr wchar_t kStatusEventName[] = L"Global\\BXGlobalGenXml";

std::wstring ProgramDirectory() {
    wchar_t path[MAX_PATH];
    DWORD got = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (got == 0 || got >= MAX_PATH) return L".\\";
    return bx::tool::DirectoryOf(std::wstring(path, got));
}

}  // namespace

CDlgStats::CDlgStats() : PropertyPage(L"Stats", PSP_HASHELP) {}

BOOL CDlgStats::OnInitDialog() {
    ::SendDlgItemMessageW(Hwnd(), IDC_STATS_ICON, STM_SETICON,
                          reinterpret_cast<WPARAM>(bx::ui::LoadResIcon(IDI_TOOL, false)), 0);
    return TRUE;
}

bool CDlgStats::OnCommand(int id, int code) {
    if (id == IDC_REFRESH && code == BN_CLICKED) {
        Refresh();
        return true;
    }
    return false;
}

void CDlgStats::OnShowWindow(bool shown) {
    if (shown) Refresh();
}

void CDlgStats::Refresh() {
    HCURSOR previous = ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
    bx::win::UniqueHandle event(::OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, kStatusEventName));
    if (event) ::SetEvent(event.get());  // the service is not running when it cannot be opened
    ::Sleep(1000);

    // The service writes the record as raw bytes; it is read the same way, so
    // that no byte of a counter is taken for an end of file or a line end.
    uint8_t bytes[bx::kStatusRecordSize] = {};
    std::wstring path = ProgramDirectory() + bx::kStatusFileName;
    bx::win::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD total = 0;
    if (file) {
        DWORD got = 0;
        while (total < sizeof bytes &&
               ::ReadFile(file.get(), bytes + total, static_cast<DWORD>(sizeof bytes - total), &got, nullptr) &&
               got > 0)
            total += got;
    }
    // A short record leaves its missing fields 0, as an absent file does.
    int32_t fields[bx::kStatusCounters] = {};
    std::memcpy(fields, bytes, sizeof fields);  // little-endian, as written
    for (const bx::tool::StatsRow& row : bx::tool::kStatsRows)
        bx::ui::SetItemText(Hwnd(), row.controlId, std::to_wstring(fields[row.field]));
    ::SetCursor(previous);
}
