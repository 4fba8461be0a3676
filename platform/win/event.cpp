// Events on Windows: unnamed kernel event objects.
#include "platform/event.h"

#include <windows.h>

#include "platform/win/handles.h"

namespace bx::sync {

Event::~Event() { Close(); }

uint32_t Event::Create(ResetMode mode, bool initiallySet) {
    Close();
    HANDLE event =
        CreateEventW(nullptr, mode == ResetMode::Manual ? TRUE : FALSE, initiallySet ? TRUE : FALSE, nullptr);
    if (!event) {
        const DWORD error = GetLastError();
        return error != 0 ? error : ERROR_GEN_FAILURE;
    }
    handle_ = event;
    return 0;
}

void Event::Close() {
    // An owner adopts the handle and closes it as it goes out of scope.
    bx::win::UniqueHandle closing(static_cast<HANDLE>(handle_));
    handle_ = nullptr;
}

uint32_t Event::Set() {
    if (!handle_) return ERROR_INVALID_HANDLE;
    if (!SetEvent(static_cast<HANDLE>(handle_))) return GetLastError();
    return 0;
}

uint32_t Event::Reset() {
    if (!handle_) return ERROR_INVALID_HANDLE;
    if (!ResetEvent(static_cast<HANDLE>(handle_))) return GetLastError();
    return 0;
}

uint32_t Event::Wait(uint32_t timeoutMs) {
    if (!handle_) return kWaitFailed;
    return WaitForSingleObject(static_cast<HANDLE>(handle_), timeoutMs);
}

uint32_t WaitAny(Event& first, Event& second, uint32_t timeoutMs) {
    if (!first.handle_ || !second.handle_) return kWaitFailed;
    HANDLE handles[2] = {static_cast<HANDLE>(first.handle_), static_cast<HANDLE>(second.handle_)};
    return WaitForMultipleObjects(2, handles, FALSE, timeoutMs);
}

}  // namespace bx::sync
