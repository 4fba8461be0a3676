// A viewer for .txt files of the tests' own: a test registers it as the
// "open" command of .txt files, so that a program that opens a report
// through the shell starts this. Each start copies the file it was given to
// "viewer_copy_<n>.txt" beside itself (n = 1, 2, ...: what it held at that
// moment) and then appends its argument as one UTF-8 line to
// "viewer_calls.txt" there; then it ends.
#include <windows.h>

#include <string>

#include "platform/win/handles.h"

namespace {

std::wstring OwnDirectory() {
    wchar_t path[MAX_PATH * 4];
    DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    std::wstring text(path, length);
    return text.substr(0, text.find_last_of(L'\\') + 1);
}

// Lines recorded so far.
int Calls(const std::wstring& log) {
    bx::win::UniqueFile file(::CreateFileW(log.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
    if (!file) return 0;
    int lines = 0;
    char chunk[4096];
    DWORD read = 0;
    while (::ReadFile(file.get(), chunk, sizeof chunk, &read, nullptr) && read > 0)
        for (DWORD i = 0; i < read; ++i) lines += chunk[i] == '\n';
    return lines;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring dir = OwnDirectory(), log = dir + L"viewer_calls.txt";
    std::wstring argument = argc > 1 ? argv[1] : L"";
    int call = Calls(log) + 1;
    ::CopyFileW(argument.c_str(), (dir + L"viewer_copy_" + std::to_wstring(call) + L".txt").c_str(), FALSE);
    int size = ::WideCharToMultiByte(CP_UTF8, 0, argument.c_str(), static_cast<int>(argument.size()), nullptr, 0,
                                     nullptr, nullptr);
    std::string line(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, argument.c_str(), static_cast<int>(argument.size()), line.data(), size,
                              nullptr, nullptr);
    line += '\n';
    bx::win::UniqueFile file(
        ::CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr));
    if (!file) return 1;
    DWORD written = 0;
    return ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ? 0 : 1;
}
