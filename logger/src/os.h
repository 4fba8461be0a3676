// What the logger needs from the operating system. Implemented once in
// win/os.cpp (Win32 and the Microsoft C runtime) and once in posix/os.cpp.
#pragma once
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

namespace bx::log::os {

// The separator put between a directory and a file name ("\\" on Windows).
extern const wchar_t kPathSeparator;

// Formats with the Windows C runtime's wide printf convention ("%s" and "%c"
// take wide arguments, "%hs"/"%S" narrow ones, "%ld" is 32-bit) into buf of
// `count` characters. The result is always terminated; text that does not
// fit is cut to count - 1 characters.
void FormatV(wchar_t* buf, size_t count, const wchar_t* format, va_list args);

// Hands text to the debugger output (OutputDebugStringW on Windows).
void DebugOutput(const std::wstring& text);

// The local date and time of a moment.
std::tm LocalTime(time_t moment);

// The calling thread's last system error (GetLastError / errno).
uint32_t LastError();

// The system's message for an error code, or "" when it has none.
std::wstring SystemErrorText(uint32_t code);

// True when a status query of the path fails because the file is missing.
bool FileMissing(const std::wstring& path);

// Opens a log file as a text stream for reading and writing: truncated ("w+")
// or appending ("a+"); exclusive (others may neither read nor write) or deny
// write (others may only read). On failure returns null with the C library's
// error number in crtError and the system's in systemError.
FILE* OpenLogFile(const std::wstring& path, bool truncate, bool exclusive, int& crtError, uint32_t& systemError);

// Size of the open file in bytes.
int64_t FileSize(FILE* stream);

// Writes the line in the C library's multibyte code page (line ends become
// CR LF on Windows) and flushes. Returns the bytes written, or -1 with the
// system error in error.
int64_t WriteText(FILE* stream, const std::wstring& line, uint32_t& error);

// Copies the whole content of the open stream into a new file at path
// (replacing it), then empties the stream's file. Failures are ignored: the
// caller goes on writing.
void RotateStream(FILE* stream, const std::wstring& copyPath);

// A loaded string library (resource-only DLL on Windows).
using Module = void*;
Module LoadStringLibrary(const std::wstring& path, uint32_t& error);
void FreeStringLibrary(Module module);
// Loads string `id` (at most maxChars characters). Returns 0 and the text, or
// the system error; an id that is present but empty gives 0 and "".
uint32_t LoadLibraryString(Module module, uint32_t id, size_t maxChars, std::wstring& text);

// Deletes a file; 0 or the system error.
uint32_t RemoveFile(const std::wstring& path);

// The Windows event log. The source is registered under
// HKLM\SYSTEM\CurrentControlSet\Services\Eventlog\Application\<source> with
// EventMessageFile (the host executable's directory and "\EvtMessages.dll")
// and TypesSupported 31, then registered on the local computer.
using EventSource = void*;
// 0 with the source, or the system error; registryFailed tells whether the
// registry key could not be written (then no registration was tried).
uint32_t RegisterEventLogSource(const std::wstring& source, EventSource& handle, bool& registryFailed);
void DeregisterEventLogSource(EventSource source);
// Reports one event (category 0, event id 0) with the user of the calling
// thread's token (else the process token's), the message as its one
// insertion string and no data. 0 or the system error.
uint32_t ReportEventLog(EventSource source, uint16_t eventType, const std::wstring& message);

// Sockets of the syslog sink. IPv4 addresses are in network byte order.
// Starts the socket library (Winsock 1.1); 0 or the error.
uint32_t SocketStartup();
void SocketCleanup();
// The first IPv4 address of the local host name; 0 or the lookup error.
uint32_t LocalAddress(uint32_t& address);
// The port of the service entry "syslog"/"udp" in network byte order, or 514.
uint16_t SyslogServicePort();
// The mask of the first address of the first network adapter that has one;
// 0 or the error.
uint32_t AdapterNetMask(uint32_t& mask);
// A dotted IPv4 text directly, else the first address of a host-name lookup;
// 0 or the lookup error (Winsock numbers: 11001 host not found, ...).
uint32_t ResolveHost(const std::string& name, uint32_t& address);
// Sends an ARP request to a host of the local subnet: true when it answered.
bool ArpAnswers(uint32_t address, uint32_t localAddress);
// One datagram on a socket of its own (broadcast enabled when asked), closed
// afterwards. 0 or the socket error; socketFailed tells that the socket
// itself could not be created.
uint32_t SendDatagram(const std::string& bytes, uint32_t address, uint16_t port, bool broadcast, bool& socketFailed);
// True for the error of a datagram too long for the transport (10040).
bool IsMessageTooLong(uint32_t socketError);
// Wide text in the multibyte code page (the ANSI code page on Windows,
// UTF-8 elsewhere).
std::string ToMultiByte(const wchar_t* text, size_t length);

}  // namespace bx::log::os
