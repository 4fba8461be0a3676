// Sessions on Windows: the terminal-services session queries.
#include "platform/sessions.h"

#include <windows.h>
#include <wtsapi32.h>

namespace bx::sessions {
namespace {

// Owns a buffer handed out by WTSQuerySessionInformationW.
class WtsBuffer {
public:
    WtsBuffer() = default;
    ~WtsBuffer() {
        if (buffer_) WTSFreeMemory(buffer_);
    }
    WtsBuffer(const WtsBuffer&) = delete;
    WtsBuffer& operator=(const WtsBuffer&) = delete;

    LPWSTR* Receive() { return &buffer_; }
    const wchar_t* Get() const { return buffer_; }

private:
    LPWSTR buffer_ = nullptr;
};

uint32_t Query(uint32_t sessionId, WTS_INFO_CLASS infoClass, std::wstring& text) {
    text.clear();
    WtsBuffer buffer;
    DWORD bytes = 0;
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, sessionId, infoClass, buffer.Receive(), &bytes)) {
        const DWORD error = GetLastError();
        return error != 0 ? error : ERROR_GEN_FAILURE;
    }
    if (buffer.Get() != nullptr) {
        // The text is NUL-terminated; bytes bounds it in case it is not.
        const size_t limit = bytes / sizeof(wchar_t);
        size_t length = 0;
        while (length < limit && buffer.Get()[length] != L'\0') ++length;
        text.assign(buffer.Get(), length);
    }
    return 0;
}

}  // namespace

uint32_t QueryUserName(uint32_t sessionId, std::wstring& name) { return Query(sessionId, WTSUserName, name); }

uint32_t QueryDomainName(uint32_t sessionId, std::wstring& domain) { return Query(sessionId, WTSDomainName, domain); }

}  // namespace bx::sessions
