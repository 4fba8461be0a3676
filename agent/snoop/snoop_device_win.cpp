// The snoop driver's device through the Win32 API: one overlapped
// ReadSnoopEvents request at a time.
#include <windows.h>

#include "agent/snoop/snoop_device.h"
#include "platform/win/event_handle.h"
#include "platform/win/handles.h"

struct CSnoopDevice::Impl {
    bx::win::UniqueFile device;
    OVERLAPPED overlapped{};
    bx::sync::Event* event = nullptr;  // the host's auto-reset event
    HANDLE eventHandle = nullptr;      // its Win32 object
    bool requestIssued = false;        // a request was issued and not yet seen complete
    bool doneAtOnce = false;           // the last request

    // Whether the last issued request has not completed yet.
    bool Outstanding() const { return requestIssued && !HasOverlappedIoCompleted(&overlapped); }
};

CSnoopDevice::CSnoopDevice() : impl_(new Impl) {}

CSnoopDevice::~CSnoopDevice() {
    // A request still outstanding writes into this object: end it first.
    if (impl_->Outstanding()) CancelRead(5000);
    Close();
}

void CSnoopDevice::SetCompletionEvent(bx::sync::Event& event) {
    impl_->event = &event;
    impl_->eventHandle = bx::win::NativeHandle(event);
    impl_->overlapped.hEvent = impl_->eventHandle;
}

bx::sync::Event* CSnoopDevice::CompletionEvent() const { return impl_->event; }

uint32_t CSnoopDevice::Open() {
    Close();
    HANDLE device = CreateFileW(SNOOP_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) return GetLastError();
    impl_->device.reset(device);
    return 0;
}

bool CSnoopDevice::IsOpen() const { return static_cast<bool>(impl_->device); }

uint32_t CSnoopDevice::IssueRead(void* buffer, uint32_t size) {
    // The OVERLAPPED is reused for each request: its status fields start
    // clear, the host's event stays.
    OVERLAPPED& overlapped = impl_->overlapped;
    overlapped = OVERLAPPED{};
    overlapped.hEvent = impl_->eventHandle;
    DWORD returned = 0;
    impl_->doneAtOnce = false;
    if (DeviceIoControl(impl_->device.get(), SNOOP_IOCTL_READ_EVENTS, nullptr, 0, buffer, size, &returned,
                        &overlapped)) {
        impl_->requestIssued = true;  // done at once; the event is signalled
        impl_->doneAtOnce = true;
        return 0;
    }
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
        impl_->requestIssued = true;
        return 0;
    }
    return error;
}

bool CSnoopDevice::LastReadDoneAtOnce() const { return impl_->doneAtOnce; }

uint32_t CSnoopDevice::ReadResult(uint32_t& transferred) {
    transferred = 0;
    if (!impl_->device) return ERROR_INVALID_HANDLE;
    DWORD count = 0;
    // Not waiting: the run loop calls this once the event has fired.
    if (!GetOverlappedResult(impl_->device.get(), &impl_->overlapped, &count, FALSE)) {
        const DWORD error = GetLastError();
        transferred = count;
        return error;
    }
    transferred = count;
    return 0;
}

uint32_t CSnoopDevice::CancelRead(uint32_t waitMs) {
    if (!impl_->device) return 0;
    uint32_t result = 0;
    if (!CancelIo(impl_->device.get())) result = GetLastError();
    // The cancelled request completes with STATUS_CANCELLED; wait for that,
    // within the bound, so that nothing writes the buffer afterwards.
    if (impl_->Outstanding() && impl_->eventHandle) {
        const ULONGLONG start = GetTickCount64();
        while (impl_->Outstanding()) {
            const ULONGLONG spent = GetTickCount64() - start;
            if (spent >= waitMs) break;
            // Short slices: the completion may have signalled the event
            // before this wait began (it is auto-reset and may be taken).
            const ULONGLONG left = waitMs - spent;
            WaitForSingleObject(impl_->eventHandle, static_cast<DWORD>(left < 50 ? left : 50));
        }
    }
    if (!impl_->Outstanding()) impl_->requestIssued = false;
    return result;
}

void CSnoopDevice::Close() { impl_->device.reset(); }
