// Windows side of the logger's system interface: Win32 and msvcrt.
#include "logger/src/os.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <vector>

namespace bxlog::os {

void FormatV(wchar_t* buf, size_t count, const wchar_t* format, va_list args) {
    // msvcrt's own formatter: its wide conventions are the interface's.
    int n = _vsnwprintf(buf, count - 1, format, args);
    if (n < 0 || static_cast<size_t>(n) >= count - 1) buf[count - 1] = L'\0';
}

void DebugOutput(const std::wstring& text) { OutputDebugStringW(text.c_str()); }

std::tm LocalTime(time_t moment) {
    std::tm out{};
    localtime_s(&out, &moment);
    return out;
}

uint32_t LastError() { return GetLastError(); }

std::wstring SystemErrorText(uint32_t code) {
    wchar_t* text = nullptr;
    DWORD n =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring result = n ? std::wstring(text, n) : std::wstring();
    if (text) LocalFree(text);
    return result;
}

bool FileMissing(const std::wstring& path) {
    struct _stat64 st;
    return _wstat64(path.c_str(), &st) != 0 && errno == ENOENT;
}

FILE* OpenLogFile(const std::wstring& path, bool truncate, bool exclusive, int& crtError, uint32_t& systemError) {
    SetLastError(0);
    FILE* f = _wfsopen(path.c_str(), truncate ? L"w+" : L"a+", exclusive ? _SH_DENYRW : _SH_DENYWR);
    if (!f) {
        systemError = GetLastError();
        crtError = errno;
    }
    return f;
}

int64_t FileSize(FILE* stream) { return _filelengthi64(_fileno(stream)); }

int64_t WriteText(FILE* stream, const std::wstring& line, uint32_t& error) {
    int n = WideCharToMultiByte(CP_ACP, 0, line.data(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_ACP, 0, line.data(), static_cast<int>(line.size()), bytes.data(), n, nullptr, nullptr);
    SetLastError(0);
    if (fwrite(bytes.data(), 1, bytes.size(), stream) != bytes.size() || fflush(stream) != 0) {
        error = GetLastError();
        if (error == 0) error = ERROR_WRITE_FAULT;
        clearerr(stream);
        return -1;
    }
    int64_t written = static_cast<int64_t>(bytes.size());
    for (char c : bytes) written += (c == '\n');  // text mode: LF is written as CR LF
    return written;
}

void RotateStream(FILE* stream, const std::wstring& copyPath) {
    // Copy through the logger's own descriptor: the file may be open
    // exclusively, so no second handle could read it.
    fflush(stream);
    int fd = _fileno(stream);
    int oldMode = _setmode(fd, _O_BINARY);
    FILE* copy = _wfopen(copyPath.c_str(), L"wb");
    if (copy) {
        _lseeki64(fd, 0, SEEK_SET);
        std::vector<char> block(64 * 1024);
        int n;
        while ((n = _read(fd, block.data(), static_cast<unsigned>(block.size()))) > 0) fwrite(block.data(), 1, n, copy);
        fclose(copy);
    }
    _chsize_s(fd, 0);
    _setmode(fd, oldMode);
    fseek(stream, 0, SEEK_SET);
}

Module LoadStringLibrary(const std::wstring& path, uint32_t& error) {
    HMODULE m = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!m) error = GetLastError();
    return m;
}

void FreeStringLibrary(Module module) {
    if (module) FreeLibrary(static_cast<HMODULE>(module));
}

uint32_t LoadLibraryString(Module module, uint32_t id, size_t maxChars, std::wstring& text) {
    std::vector<wchar_t> buf(maxChars + 1);
    SetLastError(0);
    int n = LoadStringW(static_cast<HMODULE>(module), id, buf.data(), static_cast<int>(buf.size()));
    if (n <= 0) {
        text.clear();
        return GetLastError();
    }
    text.assign(buf.data(), n);
    return 0;
}

}  // namespace bxlog::os
