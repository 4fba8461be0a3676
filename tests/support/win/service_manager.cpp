#include "tests/support/win/service_manager.h"

// ---------------------------------------------------------------------------
// Event-log recording through the import slots.

extern "C" {
// The import address table slots of this program (mingw names them so).
extern decltype(&RegisterEventSourceW) __imp_RegisterEventSourceW;
extern decltype(&ReportEventW) __imp_ReportEventW;
extern decltype(&DeregisterEventSource) __imp_DeregisterEventSource;
}

namespace bx::test {
namespace {

struct RecorderState {
    CRITICAL_SECTION lock;
    std::vector<RecordedEvent> events;
    std::vector<std::pair<HANDLE, std::wstring>> sources;  // handle -> source name
    int openSources = 0;
    bool localMachine = false;
    decltype(&RegisterEventSourceW) realRegister = nullptr;
    decltype(&ReportEventW) realReport = nullptr;
    decltype(&DeregisterEventSource) realDeregister = nullptr;
};
RecorderState* g_recorder = nullptr;

HANDLE WINAPI RecordRegister(LPCWSTR server, LPCWSTR source) {
    HANDLE h = g_recorder->realRegister(server, source);
    DWORD error = GetLastError();
    EnterCriticalSection(&g_recorder->lock);
    if (h) {
        g_recorder->sources.emplace_back(h, source ? source : L"");
        ++g_recorder->openSources;
    }
    g_recorder->localMachine = server == nullptr;
    LeaveCriticalSection(&g_recorder->lock);
    SetLastError(error);
    return h;
}

BOOL WINAPI RecordReport(HANDLE h, WORD type, WORD category, DWORD eventId, PSID user, WORD count, DWORD dataSize,
                         LPCWSTR* strings, LPVOID data) {
    RecordedEvent e;
    e.type = type;
    e.category = category;
    e.eventId = eventId;
    e.withUser = user != nullptr;
    e.dataSize = data ? dataSize : 0;
    for (WORD i = 0; i < count; ++i) e.strings.emplace_back(strings[i] ? strings[i] : L"(null)");
    EnterCriticalSection(&g_recorder->lock);
    for (auto& s : g_recorder->sources)
        if (s.first == h) e.source = s.second;
    e.localMachine = g_recorder->localMachine;
    g_recorder->events.push_back(e);
    LeaveCriticalSection(&g_recorder->lock);
    return g_recorder->realReport(h, type, category, eventId, user, count, dataSize, strings, data);
}

BOOL WINAPI RecordDeregister(HANDLE h) {
    EnterCriticalSection(&g_recorder->lock);
    --g_recorder->openSources;
    LeaveCriticalSection(&g_recorder->lock);
    return g_recorder->realDeregister(h);
}

template <typename T>
void PatchSlot(T* slot, T value) {
    DWORD old = 0;
    VirtualProtect(slot, sizeof(T), PAGE_READWRITE, &old);
    *slot = value;
    VirtualProtect(slot, sizeof(T), old, &old);
}

}  // namespace

EventLogRecorder::EventLogRecorder() {
    g_recorder = new RecorderState;
    InitializeCriticalSection(&g_recorder->lock);
    g_recorder->realRegister = __imp_RegisterEventSourceW;
    g_recorder->realReport = __imp_ReportEventW;
    g_recorder->realDeregister = __imp_DeregisterEventSource;
    PatchSlot(&__imp_RegisterEventSourceW, &RecordRegister);
    PatchSlot(&__imp_ReportEventW, &RecordReport);
    PatchSlot(&__imp_DeregisterEventSource, &RecordDeregister);
}

EventLogRecorder::~EventLogRecorder() {
    PatchSlot(&__imp_RegisterEventSourceW, g_recorder->realRegister);
    PatchSlot(&__imp_ReportEventW, g_recorder->realReport);
    PatchSlot(&__imp_DeregisterEventSource, g_recorder->realDeregister);
    DeleteCriticalSection(&g_recorder->lock);
    delete g_recorder;
    g_recorder = nullptr;
}

std::vector<RecordedEvent> EventLogRecorder::Events() const {
    EnterCriticalSection(&g_recorder->lock);
    auto copy = g_recorder->events;
    LeaveCriticalSection(&g_recorder->lock);
    return copy;
}

int EventLogRecorder::OpenSources() const {
    EnterCriticalSection(&g_recorder->lock);
    int n = g_recorder->openSources;
    LeaveCriticalSection(&g_recorder->lock);
    return n;
}

void EventLogRecorder::Clear() {
    EnterCriticalSection(&g_recorder->lock);
    g_recorder->events.clear();
    LeaveCriticalSection(&g_recorder->lock);
}

}  // namespace bx::test
