// Test helpers for the service framework's tests: what the program reports to
// the event log. (Processes, files and folders: process_runner.h.)
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "tests/support/win/process_runner.h"
namespace bx::test {

// Records the event-log calls this program makes: the program's import slots
// of RegisterEventSourceW and ReportEventW are pointed at recorders (which
// then call the real functions) while an EventLogRecorder lives. Wine's event
// log records nothing, so this is how the tests see what was written.
struct RecordedEvent {
    std::wstring source;  // as registered
    bool localMachine = false;
    WORD type = 0;
    WORD category = 0;
    DWORD eventId = 0;
    std::vector<std::wstring> strings;
    bool withUser = false;
    DWORD dataSize = 0;
};

class EventLogRecorder {
public:
    EventLogRecorder();
    ~EventLogRecorder();
    EventLogRecorder(const EventLogRecorder&) = delete;
    EventLogRecorder& operator=(const EventLogRecorder&) = delete;
    std::vector<RecordedEvent> Events() const;
    int OpenSources() const;  // registered minus deregistered
    void Clear();
};

}  // namespace bx::test
