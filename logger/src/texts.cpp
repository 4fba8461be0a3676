// The library's own texts, the line format and error texts.
#include <cstdarg>

#include "logger_impl.h"

namespace bxlog {

const wchar_t* Text(uint32_t id) {
    switch (id) {
    case 102: return L"No Error\n";
    case 103: return L"Error creating the Resource lock object!\n";
    case 106: return L"Error\t\t";
    case 107: return L"Warning\t\t";
    case 108: return L"Information\t";
    case 110: return L"RegisterSource failed.\n";
    case 111: return L"Failed to Allocate Event Object.!\n";
    case 112: return L"Win-sock init failed %s\n";
    case 113: return L"Failed to get local IP-address Error:%s\n";
    case 114: return L"Unknown error 0x%08lX\n";
    case 115: return L"Failed to get net mask %s\n";
    case 116: return L"LogTo Syslog was Called but SysLog-Server is not given.\n";
    case 118: return L"Failed to sent the packet.Error: %s\n";
    case 119: return L"Failed to Allocate Syslog Object.!\n";
    case 120: return L"socket() failed. %s\n";
    case 121: return L"Unknown host '%s'\n";
    case 122: return L"Host not reachable by ARP-request\n";
    case 123: return L"Max. size of Log File is achieved!Logging is disabled due to file Flag "
                     L"\"LOGGER_OUTPUT_FILE_FLAG_STOPWHENFULL\"\n";
    case 124: return L"\"LOGGER_OUTPUT_FILE\" flag is given! But the Filename is not Given!";
    case 125: return L"Failed to open file \"%s\" Error: \n ";
    case 126: return L"Failed to write Logfile: \"%s\" Error: ";
    case 128: return L"Emergency    \t";
    case 129: return L"Alert        \t";
    case 130: return L"Critical     \t";
    case 131: return L"Error        \t";
    case 132: return L"Warning      \t";
    case 133: return L"Notice       \t";
    case 134: return L"Informational\t";
    case 135: return L"Debug        \t";
    case 136: return L"MAX Evt-log File Size is achieved!Stop at Full is 'Enabled'\n";
    case 137: return L"Failed to open Evt-file \"%s\" Error: \n";
    case 138: return L"Failed To Write in EvtLog Error: \n";
    case 139: return L"Max.size Evt-log file is achieved !Stopping loggging!due to "
                     L"\"LOGGER_OUTPUT_FILE_FLAG_STOPWHENFULL\"\n";
    case 140: return L"Max.size log file is achieved !Stopping loggging!due to "
                     L"\"LOGGER_OUTPUT_FILE_FLAG_STOPWHENFULL\"\n";
    default: return L"";
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

std::wstring BuildLine(uint32_t priority, const wchar_t* message) {
    std::tm t = os::LocalNow();
    wchar_t stamp[32];
    swprintf(stamp, 32, L"%02d/%02d/%02d:%02d:%02d:%02d\t", t.tm_mon + 1, t.tm_mday, t.tm_year % 100,
             t.tm_hour, t.tm_min, t.tm_sec);
    std::wstring line = stamp;
    if (priority <= BXLOG_DEBUG) line += Text(128 + priority);
    line += message;
    line += L'\n';
    return line;
}

}  // namespace bxlog
