#include "agent/settings/log_impl.h"

#include <cwchar>

#include "BXLogger.h"
#include "agent/settings/settings_reader.h"
#include "platform/errors.h"
#include "platform/thread_id.h"

namespace {

// The gate of the calling thread (ScopedLogGate); none by default.
thread_local bx::LogGate* threadGate = nullptr;

}  // namespace

bx::ScopedLogGate::ScopedLogGate(LogGate& gate) : previous_(threadGate) { threadGate = &gate; }

bx::ScopedLogGate::~ScopedLogGate() { threadGate = previous_; }

CLogImpl::CLogImpl() : CLogImpl(bx::SettingsReader(bx::kSettingsKeyPath)) {}

CLogImpl::CLogImpl(const bx::SettingsReader& settings)
    : logRef(nullptr), verbose(false), sendQueueCapacity(bx::kMinSendQueueCapacity) {
    verbose = settings.Dword(L"verbose", 0) != 0;
    sendQueueCapacity = settings.Dword(L"QueueSizeSendQueue", bx::kMinSendQueueCapacity);
    if (sendQueueCapacity < bx::kMinSendQueueCapacity) sendQueueCapacity = bx::kMinSendQueueCapacity;
}

CLogImpl::~CLogImpl() = default;

void CLogImpl::SetLogger(CBXLogger* logger) { logRef = logger; }

std::wstring CLogImpl::FormatLine(const wchar_t* format, va_list args) {
    if (!format || !*format) return std::wstring();
    wchar_t message[bx::kLogMessageChars];
    message[0] = L'\0';
    // Both runtimes leave the first 1023 characters of a longer result in the
    // buffer; the terminator is set here in every case.
    std::vswprintf(message, bx::kLogMessageChars, format, args);
    message[bx::kLogMessageChars - 1] = L'\0';
    wchar_t prefix[32];
    std::swprintf(prefix, 32, L"Id:%04d\t", static_cast<int>(bx::CurrentThreadId()));
    return std::wstring(prefix) + message;
}

uint32_t CLogImpl::LogArgs(uint32_t priority, const wchar_t* format, va_list args) const {
    if (!format || !*format) return bx::err::kInvalidParameter;
    if (threadGate && !threadGate->Admit(priority)) return bx::err::kSuccess;
    std::wstring line = FormatLine(format, args);
    CBXLogger* logger = logRef;
    // The logger formats in the Windows runtime's convention, where "%s" takes
    // a wide string on both flavours.
    if (logger) logger->Log(priority, L"%s", line.c_str());
    return bx::err::kSuccess;
}

uint32_t CLogImpl::LogError(const wchar_t* format, ...) const {
    va_list args;
    va_start(args, format);
    uint32_t result = LogArgs(bx::kPriorityError, format, args);
    va_end(args);
    return result;
}

uint32_t CLogImpl::LogWarning(const wchar_t* format, ...) const {
    va_list args;
    va_start(args, format);
    uint32_t result = LogArgs(bx::kPriorityWarning, format, args);
    va_end(args);
    return result;
}

uint32_t CLogImpl::LogInfo(const wchar_t* format, ...) const {
    va_list args;
    va_start(args, format);
    uint32_t result = LogArgs(bx::kPriorityInformation, format, args);
    va_end(args);
    return result;
}

uint32_t CLogImpl::LogDebug(const wchar_t* format, ...) const {
    if (!verbose) return bx::err::kSuccess;
    va_list args;
    va_start(args, format);
    uint32_t result = LogArgs(bx::kPriorityDebug, format, args);
    va_end(args);
    return result;
}
