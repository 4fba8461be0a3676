// The library's own texts, the line format and error texts.
#include <cstdarg>

#include "logger/src/logger_impl.h"

namespace bx::log {

const wchar_t* Text(uint32_t id) {
    switch (id) {
        case 102:
            return L"No Error\n";
        case 103:
            return L"Error creating the Resource lock object!\n";
        case 106:
            return L"Error\t\t";
        case 107:
            return L"Warning\t\t";
        case 108:
            return L"Information\t";
        case 110:
            return L"RegisterSource failed.\n";
        case 111:
            return L"Failed to Allocate Event Object.!\n";
        case 112:
            return L"Win-sock init failed %s\n";
        case 113:
            return L"Failed to get local IP-address Error:%s\n";
        case 114:
            return L"Unknown error 0x%08lX\n";
        case 115:
            return L"Failed to get net mask %s\n";
        case 116:
            return L"LogTo Syslog was Called but SysLog-Server is not given.\n";
        case 118:
            return L"Failed to sent the packet.Error: %s\n";
        case 119:
            return L"Failed to Allocate Syslog Object.!\n";
        case 120:
            return L"socket() failed. %s\n";
        case 121:
            return L"Unknown host '%s'\n";
        case 122:
            return L"Host not reachable by ARP-request\n";
        case 123:
            return L"Max. size of Log File is achieved!Logging is disabled due to file Flag "
                   L"\"LOGGER_OUTPUT_FILE_FLAG_STOPWHENFULL\"\n";
        case 124:
            return L"\"LOGGER_OUTPUT_FILE\" flag is given! But the Filename is not Given!";
        case 125:
            return L"Failed to open file \"%s\" Error: \n ";
        case 126:
            return L"Failed to write Logfile: \"%s\" Error: ";
        case 128:
            return L"Emergency    \t";
        case 129:
            return L"Alert        \t";
        case 130:
            return L"Critical     \t";
        case 131:
            return L"Error        \t";
        case 132:
            return L"Warning      \t";
        case 133:
            return L"Notice       \t";
        case 134:
            return L"Informational\t";
        case 135:
            return L"Debug        \t";
        case 136:
            return L"MAX Evt-log File Size is achieved!Stop at Full is 'Enabled'\n";
        case 137:
            return L"Failed to open Evt-file \"%s\" Error: \n";
        case 138:
            return L"Failed To Write in EvtLog Error: \n";
        case 139:
            return L"Max.size Evt-log file is achieved !Stopping loggging!due to "
                   L"\"LOGGER_OUTPUT_FILE_FLAG_STOPWHENFULL\"\n";
        case 140:
            return L"Max.size log file is achieved !Stopping loggging!due to "
                   L"\"LOGGER_OUTPUT_FILE_FLAG_STOPWHENFULL\"\n";
        default:
            return L"";
    }
}

std::wstring FormatText(uint32_t id, ...) {
    wchar_t buf[kMessageChars];
    va_list args;
    va_start(args, id);
    os::FormatV(buf, kMessageChars, Text(id), args);
    va_end(args);
    return buf;
}

std::wstring SystemErrorText(uint32_t code) {
    std::wstring text = os::SystemErrorText(code);
    return text.empty() ? FormatText(114, code) : text;
}

namespace {

void TwoDigits(wchar_t* at, int value) {
    at[0] = static_cast<wchar_t>(L'0' + value / 10 % 10);
    at[1] = static_cast<wchar_t>(L'0' + value % 10);
}

// "MM/DD/YY:HH:MM:SS\t" of the current local time. Each thread keeps the
// stamp of the last second it saw, so the clock is read once per line and
// the calendar is worked out once per second.
const wchar_t* Stamp() {
    thread_local time_t stampedAt = -1;
    thread_local wchar_t stamp[19] = L"00/00/00:00:00:00\t";
    time_t now = time(nullptr);
    if (now != stampedAt) {
        std::tm t = os::LocalTime(now);
        TwoDigits(stamp, t.tm_mon + 1);
        TwoDigits(stamp + 3, t.tm_mday);
        TwoDigits(stamp + 6, t.tm_year % 100);
        TwoDigits(stamp + 9, t.tm_hour);
        TwoDigits(stamp + 12, t.tm_min);
        TwoDigits(stamp + 15, t.tm_sec);
        stampedAt = now;
    }
    return stamp;
}

}  // namespace

std::wstring BuildLine(uint32_t priority, const wchar_t* message) {
    const wchar_t* label = priority <= BXLOG_DEBUG ? Text(128 + priority) : L"";
    size_t messageLength = wcslen(message);
    std::wstring line;
    line.reserve(18 + 14 + messageLength + 1);
    line.append(Stamp(), 18);
    line.append(label);
    line.append(message, messageLength);
    line += L'\n';
    return line;
}

}  // namespace bx::log
