// CLogImpl: the log facade every component of the agent derives from.
//
// It holds a pointer to the service's logger (not owned; messages are dropped
// while it is null) and the logging settings read from the registry when the
// object was constructed. Each message goes to the logger as one line,
// "Id:%04d\t" with the calling thread's id followed by the message, handed
// over as literal text so that "%" in user or host names is harmless.
//
// Formats follow the C wide printf convention on both flavours: wide string
// arguments are passed with "%ls".
//
// A thread may set a gate (bx::ScopedLogGate) that every line it writes
// through any facade passes first: the listener sets one around the handling
// of each received datagram, so that no sender decides how much is logged.
#pragma once
#include <cstdarg>
#include <cstdint>
#include <string>

class CBXLogger;

namespace bx {

class SettingsReader;

// Priorities of the facade's four message operations (the logger's numbers).
constexpr uint32_t kPriorityError = 3;
constexpr uint32_t kPriorityWarning = 4;
constexpr uint32_t kPriorityInformation = 6;
constexpr uint32_t kPriorityDebug = 7;

// Messages are formatted into 1024 characters: longer ones keep 1023.
constexpr size_t kLogMessageChars = 1024;

// The smallest send-queue capacity; a lower QueueSizeSendQueue is raised to it.
constexpr uint32_t kMinSendQueueCapacity = 50000;

// Decides, line by line, whether a thread's lines are written.
class LogGate {
public:
    // Whether a line of this priority is written; false drops it.
    virtual bool Admit(uint32_t priority) = 0;

protected:
    ~LogGate() = default;
};

// Sets `gate` on the calling thread for the life of this object (the gate
// set before comes back afterwards). The gate must outlive it.
class ScopedLogGate {
public:
    explicit ScopedLogGate(LogGate& gate);
    ~ScopedLogGate();
    ScopedLogGate(const ScopedLogGate&) = delete;
    ScopedLogGate& operator=(const ScopedLogGate&) = delete;

private:
    LogGate* previous_;
};

}  // namespace bx

class CLogImpl {
public:
    // Reads "verbose" and "QueueSizeSendQueue" from the settings key.
    CLogImpl();
    // The same, from the settings key its owner has open already.
    explicit CLogImpl(const bx::SettingsReader& settings);
    // A copy takes the logging settings and the logger as they are.
    CLogImpl(const CLogImpl&) = default;
    virtual ~CLogImpl();

    // Stores the logger (null detaches). Owners of other components override
    // it to pass the same logger on.
    virtual void SetLogger(CBXLogger* logger);

    // Each returns 0, or 87 for a null or empty format (nothing is logged).
    // LogDebug returns 0 at once, before anything else, unless verbose is set.
    uint32_t LogError(const wchar_t* format, ...) const;
    uint32_t LogWarning(const wchar_t* format, ...) const;
    uint32_t LogInfo(const wchar_t* format, ...) const;
    uint32_t LogDebug(const wchar_t* format, ...) const;

    CBXLogger* Logger() const { return logRef; }
    bool Verbose() const { return verbose; }
    uint32_t SendQueueCapacity() const { return sendQueueCapacity; }

    // The line one message becomes: "Id:%04d\t", the calling thread's id,
    // then the formatted message cut to 1023 characters. Empty for a null or
    // empty format.
    static std::wstring FormatLine(const wchar_t* format, va_list args);

protected:
    uint32_t LogArgs(uint32_t priority, const wchar_t* format, va_list args) const;

    CBXLogger* logRef;
    bool verbose;
    uint32_t sendQueueCapacity;
};
