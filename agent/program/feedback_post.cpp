#include "agent/program/feedback_post.h"

#include <msi.h>
#include <rpc.h>
#include <winhttp.h>

#include <mutex>
#include <vector>

#include "BXLogger.h"
#include "agent/program/feedback_form.h"
#include "agent/program/installation_id.h"
#include "agent/program/os_description.h"
#include "agent/settings/settings_reader.h"
#include "platform/win/handles.h"

#ifndef BX_FEEDBACK_URL
#define BX_FEEDBACK_URL "https://registration.brontavex.com/feedback/feedback.aspx"
#endif
#ifndef BX_FEEDBACK_MAILBOX
#define BX_FEEDBACK_MAILBOX "registration@brontavex.com"
#endif

namespace bx::program {

const wchar_t kDefaultFeedbackUrl[] = L"" BX_FEEDBACK_URL;
const wchar_t kFeedbackMailbox[] = L"" BX_FEEDBACK_MAILBOX;

namespace {

std::string SystemCodePage(const std::wstring& text) {
    if (text.empty()) return std::string();
    int size = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(size > 0 ? size : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
    return bytes;
}

bool NewUuidText(std::wstring& text) {
    UUID uuid;
    RPC_STATUS status = UuidCreate(&uuid);
    if (status != RPC_S_OK && status != RPC_S_UUID_LOCAL_ONLY) return false;
    RPC_WSTR string = nullptr;
    if (UuidToStringW(&uuid, &string) != RPC_S_OK || !string) return false;
    text = reinterpret_cast<const wchar_t*>(string);
    RpcStringFreeW(&string);
    return true;
}

}  // namespace

bool ProductVersionText(const std::wstring& productKeyPath, std::wstring& version) {
    bx::SettingsReader product(productKeyPath.c_str());
    std::wstring productCode;
    product.String(kProductCodeValue, productCode);
    if (productCode.empty()) return false;
    wchar_t text[128] = {};
    DWORD size = 128;
    const UINT result = MsiGetProductInfoW(productCode.c_str(), INSTALLPROPERTY_VERSION, text, &size);
    if (result == ERROR_SUCCESS) {
        version = bx::feedback::VersionText(bx::feedback::ParseInstallerVersion(text));
        return true;
    }
    // The installer starts the services before it registers the product: at
    // the start inside an installation or upgrade the product is unknown
    // yet, and the version is the one the package wrote beside the code.
    if (result != ERROR_UNKNOWN_PRODUCT) return false;
    std::wstring stored;
    int32_t number = 0;
    if (product.String(kProductVersionValue, stored) != 0 || !bx::feedback::ParseProductVersion(stored, number))
        return false;
    version = bx::feedback::VersionText(number);
    return true;
}

std::wstring FeedbackHostName() {
    wchar_t name[257] = {};
    DWORD size = 257;
    if (!GetComputerNameExW(ComputerNameDnsFullyQualified, name, &size) || name[0] == L'\0')
        return bx::feedback::kUnavailable;
    return std::wstring(name, size);
}

std::wstring InstallationId() {
    static std::mutex lock;
    static std::wstring known;
    std::lock_guard<std::mutex> guard(lock);
    if (known.empty()) known = bx::feedback::ReadOrCreateInstallationId(NewUuidText);
    return known;
}

int SendFeedbackForm(const std::wstring& url, const std::string& body, DWORD& lastError) {
    lastError = 0;
    wchar_t host[256] = {}, path[2048] = {}, extra[2048] = {};
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = ARRAYSIZE(host);
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = ARRAYSIZE(path);
    parts.lpszExtraInfo = extra;
    parts.dwExtraInfoLength = ARRAYSIZE(extra);
    if (url.empty() || !WinHttpCrackUrl(url.c_str(), 0, 0, &parts) || host[0] == L'\0') {
        lastError = GetLastError();
        return kFeedbackBadUrl;
    }
    bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;

    bx::win::UniqueWinHttp session(
        WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        lastError = GetLastError();
        return kFeedbackNoSession;
    }
    // Resolve, connect, send and receive (the TLS handshake reads) each give
    // up after a few seconds.
    WinHttpSetTimeouts(session.get(), kFeedbackTimeoutMs, kFeedbackTimeoutMs, kFeedbackTimeoutMs, kFeedbackTimeoutMs);

    bx::win::UniqueWinHttp connection(WinHttpConnect(session.get(), host, parts.nPort, 0));
    if (!connection) {
        lastError = GetLastError();
        return kFeedbackNoConnection;
    }

    std::wstring object = std::wstring(path) + extra;
    DWORD flags = WINHTTP_FLAG_REFRESH | (secure ? WINHTTP_FLAG_SECURE : 0);
    bx::win::UniqueWinHttp request(WinHttpOpenRequest(connection.get(), L"POST", object.c_str(), nullptr,
                                                      WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
    if (!request) {
        lastError = GetLastError();
        return kFeedbackNoRequest;
    }
    // The certificate checks stay on: a server whose certificate the system
    // does not trust, or whose name does not match, gets nothing.

    DWORD length = static_cast<DWORD>(body.size());
    if (!WinHttpSendRequest(request.get(), bx::feedback::kContentTypeHeader, static_cast<DWORD>(-1L),
                            const_cast<char*>(body.data()), length, length, 0)) {
        lastError = GetLastError();
        return kFeedbackNotSent;
    }
    return kFeedbackSent;
}

int PostFeedback(CBXLogger& logger, const std::wstring& productKeyPath, bool verbose) {
    std::wstring url;
    uint32_t urlRead = bx::SettingsReader(bx::kSettingsKeyPath).String(kFeedbackUrlValue, url);
    if (urlRead == 0 && url.empty()) {
        logger.Log(BXLOG_INFORMATIONAL, L"Feedback post turned off (FeedbackURL is empty)");
        return 1;
    }
    if (urlRead != 0) url = kDefaultFeedbackUrl;

    std::wstring version;
    if (!ProductVersionText(productKeyPath, version)) {
        logger.Log(BXLOG_ERROR, L"Failed to get HVN product version. Cannot send feedback\n");
        return 1;
    }

    std::wstring report =
        bx::feedback::ReportText(version, FeedbackHostName(), InstallationId(), OperatingSystemDescription());
    std::string body = SystemCodePage(bx::feedback::FormBody(report, kFeedbackMailbox));

    DWORD error = 0;
    int result = SendFeedbackForm(url, body, error);
    if (result != kFeedbackSent) {
        logger.Log(BXLOG_ERROR, L"Failed to send feedback\n");
        if (verbose)
            logger.Log(BXLOG_DEBUG, L"Feedback post to %ls: result %d Error:%d", url.c_str(), result,
                       static_cast<int>(error));
    }
    return result;
}

}  // namespace bx::program
