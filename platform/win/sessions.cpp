// Sessions on Windows: the terminal-services session queries.
#include "platform/sessions.h"

#include <windows.h>
#include <wtsapi32.h>

#include "platform/win/handles.h"

namespace bx::sessions {
namespace {

uint32_t Query(uint32_t sessionId, WTS_INFO_CLASS infoClass, std::wstring& text) {
    text.clear();
    bx::win::UniqueWtsMemory buffer;
    DWORD bytes = 0;
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, sessionId, infoClass,
                                     reinterpret_cast<LPWSTR*>(buffer.put()), &bytes)) {
        const DWORD error = GetLastError();
        return error != 0 ? error : ERROR_GEN_FAILURE;
    }
    if (const auto* chars = static_cast<const wchar_t*>(buffer.get())) {
        // The text is NUL-terminated; bytes bounds it in case it is not.
        const size_t limit = bytes / sizeof(wchar_t);
        size_t length = 0;
        while (length < limit && chars[length] != L'\0') ++length;
        text.assign(chars, length);
    }
    return 0;
}

}  // namespace

uint32_t QueryUserName(uint32_t sessionId, std::wstring& name) { return Query(sessionId, WTSUserName, name); }

uint32_t QueryDomainName(uint32_t sessionId, std::wstring& domain) { return Query(sessionId, WTSDomainName, domain); }

}  // namespace bx::sessions
