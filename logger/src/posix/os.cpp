// POSIX side of the logger's system interface, for the native build.
#include "logger/src/os.h"

#include "platform/utf8.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>

namespace bxlog::os {
namespace {

// Rewrites a format of the Windows wide printf convention into glibc's:
// %s/%c take wide arguments there, %S/%hs/%C/%hc narrow ones, "l" on an
// integer is 32-bit and I64/I32/I are explicit sizes.
std::wstring TranslateFormat(const wchar_t* f) {
    std::wstring out;
    while (*f) {
        if (*f != L'%') {
            out += *f++;
            continue;
        }
        out += *f++;
        if (*f == L'%') {
            out += *f++;
            continue;
        }
        while (*f && wcschr(L"-+ #0", *f)) out += *f++;          // flags
        while (*f && (iswdigit(*f) || *f == L'*')) out += *f++;  // width
        if (*f == L'.') {                                        // precision
            out += *f++;
            while (*f && (iswdigit(*f) || *f == L'*')) out += *f++;
        }
        enum { None, Short, Long, LongLong, Size, Wide } len = None;
        if (f[0] == L'I' && f[1] == L'6' && f[2] == L'4') {
            len = LongLong;
            f += 3;
        } else if (f[0] == L'I' && f[1] == L'3' && f[2] == L'2') {
            f += 3;
        } else if (f[0] == L'I') {
            len = Size;
            f += 1;
        } else if (f[0] == L'l' && f[1] == L'l') {
            len = LongLong;
            f += 2;
        } else if (f[0] == L'h' && f[1] == L'h') {
            out += L"hh";
            f += 2;
        } else if (f[0] == L'h') {
            len = Short;
            f += 1;
        } else if (f[0] == L'l') {
            len = Long;
            f += 1;
        } else if (f[0] == L'w') {
            len = Wide;
            f += 1;
        } else if (f[0] == L'L' || f[0] == L'z' || f[0] == L'j' || f[0] == L't') {
            out += *f++;
        }
        wchar_t conv = *f;
        if (!conv) break;
        ++f;
        switch (conv) {
            case L's':
            case L'c':
                if (len == Short)
                    out += conv;  // narrow
                else {
                    out += L'l';
                    out += conv;
                }  // wide
                break;
            case L'S':
            case L'C':
                if (len == Long || len == Wide) out += L'l';
                out += static_cast<wchar_t>(towlower(conv));  // narrow unless l/w
                break;
            case L'd':
            case L'i':
            case L'o':
            case L'u':
            case L'x':
            case L'X':
                if (len == Short)
                    out += L'h';
                else if (len == LongLong)
                    out += L"ll";
                else if (len == Size)
                    out += L'z';
                out += conv;  // Long stays 32-bit
                break;
            default:
                if (len == Long) out += L'l';
                out += conv;
        }
    }
    return out;
}

std::string Narrow(const std::wstring& path) { return bx::Utf8FromWide(path); }

}  // namespace

void FormatV(wchar_t* buf, size_t count, const wchar_t* format, va_list args) {
    if (wcscmp(format, L"%s") == 0) {  // literal text, the common case
        const wchar_t* text = va_arg(args, const wchar_t*);
        size_t n = text ? wcsnlen(text, count - 1) : 0;
        if (!text) text = L"(null)", n = 6;
        wmemcpy(buf, text, n);
        buf[n] = L'\0';
        return;
    }
    std::wstring translated = TranslateFormat(format);
    int n = vswprintf(buf, count, translated.c_str(), args);
    if (n < 0) buf[count - 1] = L'\0';  // glibc leaves cut output unterminated
}

// No debugger on POSIX: its output goes to standard error.
void DebugOutput(const std::wstring& text) {
    std::string bytes = bx::Utf8FromWide(text);
    ssize_t ignored = write(STDERR_FILENO, bytes.data(), bytes.size());
    (void)ignored;
}

std::tm LocalTime(time_t moment) {
    std::tm out{};
    localtime_r(&moment, &out);
    return out;
}

uint32_t LastError() { return static_cast<uint32_t>(errno); }

std::wstring SystemErrorText(uint32_t code) {
    char buf[256];
    const char* text = strerror_r(static_cast<int>(code), buf, sizeof buf);
    std::wstring out;
    for (const char* p = text; *p; ++p) out += static_cast<wchar_t>(static_cast<unsigned char>(*p));
    return out + L"\n";
}

bool FileMissing(const std::wstring& path) {
    struct stat st;
    return stat(Narrow(path).c_str(), &st) != 0 && errno == ENOENT;
}

FILE* OpenLogFile(const std::wstring& path, bool truncate, bool exclusive, int& crtError, uint32_t& systemError) {
    // POSIX has no share modes. Both Windows modes refuse a second writer,
    // so every log file takes an advisory lock that other loggers respect;
    // readers are not kept out, even of an exclusive file.
    (void)exclusive;
    FILE* f = fopen(Narrow(path).c_str(), truncate ? "w+" : "a+");
    if (f && flock(fileno(f), LOCK_EX | LOCK_NB) != 0) {
        int e = errno;
        fclose(f);
        f = nullptr;
        errno = e;
    }
    if (!f) crtError = errno, systemError = static_cast<uint32_t>(errno);
    return f;
}

int64_t FileSize(FILE* stream) {
    struct stat st;
    return fstat(fileno(stream), &st) == 0 ? st.st_size : 0;
}

int64_t WriteText(FILE* stream, const std::wstring& line, uint32_t& error) {
    std::string bytes = bx::Utf8FromWide(line);
    if (fwrite(bytes.data(), 1, bytes.size(), stream) != bytes.size() || fflush(stream) != 0) {
        error = errno ? static_cast<uint32_t>(errno) : static_cast<uint32_t>(EIO);
        clearerr(stream);
        return -1;
    }
    return static_cast<int64_t>(bytes.size());
}

void RotateStream(FILE* stream, const std::wstring& copyPath) {
    fflush(stream);
    int fd = fileno(stream);
    if (FILE* copy = fopen(Narrow(copyPath).c_str(), "wb")) {
        char block[64 * 1024];
        off_t at = 0;
        ssize_t n;
        while ((n = pread(fd, block, sizeof block, at)) > 0) {
            fwrite(block, 1, static_cast<size_t>(n), copy);
            at += n;
        }
        fclose(copy);
    }
    if (ftruncate(fd, 0) != 0) { /* not reported: the write goes on */
    }
    fseek(stream, 0, SEEK_SET);
}

// A string library on POSIX is a shared object exporting
// `const wchar_t* BXLogStringTable(uint32_t id)`.
Module LoadStringLibrary(const std::wstring& path, uint32_t& error) {
    void* m = dlopen(Narrow(path).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m) error = static_cast<uint32_t>(ENOENT);
    return m;
}

void FreeStringLibrary(Module module) {
    if (module) dlclose(module);
}

uint32_t LoadLibraryString(Module module, uint32_t id, size_t maxChars, std::wstring& text) {
    using Table = const wchar_t* (*)(uint32_t);
    auto table = reinterpret_cast<Table>(dlsym(module, "BXLogStringTable"));
    const wchar_t* s = table ? table(id) : nullptr;
    text.clear();
    if (!s) return static_cast<uint32_t>(ENOENT);
    text.assign(s, wcsnlen(s, maxChars));
    return 0;
}

}  // namespace bxlog::os
