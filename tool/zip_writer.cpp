#include "tool/zip_writer.h"

#include <windows.h>

#include <minizip/zip.h>

#include "platform/win/handles.h"
#include "tool/tool_text.h"

using bx::tool::ToAnsi;

bool CZLib::Open(const std::wstring& path) {
    Close();
    zip_ = zipOpen64(ToAnsi(path).c_str(), APPEND_STATUS_CREATE);
    return zip_ != nullptr;
}

bool CZLib::AddFile(const std::wstring& path) {
    if (!zip_) return false;
    bx::win::UniqueFile file(
        ::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;

    zip_fileinfo info{};  // broken-down time fields 0, attributes 0
    FILETIME written{}, local{};
    WORD dosDate = 0, dosTime = 0;
    if (::GetFileTime(file.get(), nullptr, nullptr, &written) && ::FileTimeToLocalFileTime(&written, &local) &&
        ::FileTimeToDosDateTime(&local, &dosDate, &dosTime))
        info.dosDate = (static_cast<uLong>(dosDate) << 16) | dosTime;

    size_t slash = path.find_last_of(L'\\');
    std::string name = ToAnsi(slash == std::wstring::npos ? path : path.substr(slash + 1));
    if (zipOpenNewFileInZip(zip_, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, 9) != ZIP_OK)
        return false;
    bool ok = true;
    char chunk[4096];
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(file.get(), chunk, sizeof chunk, &read, nullptr)) {
            ok = false;
            break;
        }
        if (read == 0) break;
        if (zipWriteInFileInZip(zip_, chunk, read) != ZIP_OK) {
            ok = false;
            break;
        }
    }
    return zipCloseFileInZip(zip_) == ZIP_OK && ok;
}

bool CZLib::Close() {
    if (!zip_) return false;
    const bool written = zipClose(zip_, nullptr) == ZIP_OK;
    zip_ = nullptr;
    return written;
}
