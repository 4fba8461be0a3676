// The Win32 event object behind a bx::sync::Event, for Windows-only code that
// hands it to the system itself: an OVERLAPPED's hEvent, a wait on several
// objects at once. The Event keeps owning it; the HANDLE is null while the
// event is not created.
#pragma once
#include <windows.h>

#include "platform/event.h"

namespace bx::sync {

struct NativeEventAccess {
    static HANDLE Get(const Event& event) noexcept { return static_cast<HANDLE>(event.handle_); }
};

}  // namespace bx::sync

namespace bx::win {

inline HANDLE NativeHandle(const bx::sync::Event& event) noexcept { return bx::sync::NativeEventAccess::Get(event); }

}  // namespace bx::win
