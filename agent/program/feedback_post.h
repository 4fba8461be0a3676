// The installation-information post that the service sends at every start:
// product version (the installer's product-information query), host name,
// installation id and operating-system description, posted as a form over
// WinHTTP to the feedback page. An administrator changes the page with the
// REG_SZ value FeedbackURL in the agent's settings key; an empty FeedbackURL
// turns the post off.
#pragma once
#include <windows.h>

#include <string>

class CBXLogger;

namespace bx::program {

// The feedback page and the registration mailbox of this build (CMake cache
// variables BX_FEEDBACK_URL and BX_FEEDBACK_MAILBOX).
extern const wchar_t kDefaultFeedbackUrl[];
extern const wchar_t kFeedbackMailbox[];
constexpr wchar_t kFeedbackUrlValue[] = L"FeedbackURL";
constexpr wchar_t kProductCodeValue[] = L"ProductCode";
// The package's ProductVersion ("1.0.1"), written beside ProductCode.
constexpr wchar_t kProductVersionValue[] = L"ProductVersion";

// Each WinHTTP phase (name resolution, connection, sending, the TLS
// handshake's reads) gives up after this long, so that an unreachable host
// ends the post quickly.
constexpr DWORD kFeedbackTimeoutMs = 3000;
// The wait hint reported while the post runs: all four phases plus a margin.
constexpr DWORD kFeedbackWaitHintMs = 4 * kFeedbackTimeoutMs + 3000;

// Results of SendFeedbackForm.
enum FeedbackResult : int {
    kFeedbackSent = 0,
    kFeedbackNoSession = -1,     // WinHttpOpen
    kFeedbackNoConnection = -2,  // WinHttpConnect
    kFeedbackNoRequest = -3,     // WinHttpOpenRequest
    kFeedbackNotSent = -5,       // WinHttpSendRequest (certificate checks included)
    kFeedbackBadUrl = 22,        // the URL cannot be split
};

// The product's version text from the installer: ProductCode under the
// product key, then MsiGetProductInfoW(code, "Version") and the version-text
// rule. While the installer does not know the code yet (the service starts
// before the product is registered), the package's ProductVersion value
// beside the code. False when neither gives a version.
bool ProductVersionText(const std::wstring& productKeyPath, std::wstring& version);

// The computer's fully qualified DNS name (at most 256 characters), or
// "Unavailable".
std::wstring FeedbackHostName();

// The installation id (HVNGUID), made with UuidCreate when there is none;
// kept for the process once known.
std::wstring InstallationId();

// Posts the form body (already 8-bit text) to url: "POST" of the URL's path,
// header "Content-Type: application/x-www-form-urlencoded", certificate
// checks on for https. The response is not awaited. lastError receives the
// failing call's error (0 on success).
int SendFeedbackForm(const std::wstring& url, const std::string& body, DWORD& lastError);

// The whole post, as the service's start-up makes it; logs its own failures
// ("Failed to get HVN product version. Cannot send feedback\n", "Failed to
// send feedback\n") and, when FeedbackURL is empty, one informational line.
// The result (0, a FeedbackResult, or 1 when the post was off or had no
// version) is for tests: start-up goes on whatever it is.
int PostFeedback(CBXLogger& logger, const std::wstring& productKeyPath, bool verbose);

}  // namespace bx::program
