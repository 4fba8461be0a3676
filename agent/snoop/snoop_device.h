// CSnoopDevice: the snoop driver's device as the snooper uses it.
//
// The device is opened for overlapped I/O with no sharing; at most one
// ReadSnoopEvents request is outstanding, reading one 256-byte record into the
// caller's buffer; its completion signals the completion event that the host
// owns (an auto-reset bx::sync::Event). Cancelling the request and closing the handle
// are separate steps, taken in the host's shut-down order.
//
// Windows (snoop_device_win.cpp): CreateFileW on "\\.\bxhvnd",
// DeviceIoControl with an OVERLAPPED, CancelIo; the completion event's Win32
// object goes into the OVERLAPPED.
// POSIX (snoop_device_posix.cpp): there is no driver, so the device is an
// in-process one that tests and benchmarks feed (snoop_device_inprocess.h),
// which sets the completion event itself.
//
// The request's OVERLAPPED lives with the object (not on a stack), and an
// object that still has a request outstanding when it is destroyed cancels it
// and waits for it, so the system never writes into freed memory.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "agent/snoop/snoop_event.h"
#include "platform/event.h"

class CSnoopDevice {
public:
    CSnoopDevice();
    ~CSnoopDevice();
    CSnoopDevice(const CSnoopDevice&) = delete;
    CSnoopDevice& operator=(const CSnoopDevice&) = delete;

    // The event a completed request signals; it must outlive the device's
    // requests. Set before the first read.
    void SetCompletionEvent(bx::sync::Event& event);
    bx::sync::Event* CompletionEvent() const;

    // Opens the device (read and write, share mode 0, open existing,
    // overlapped). 0 or the system's error; the handle stays invalid then.
    uint32_t Open();
    bool IsOpen() const;

    // Issues ReadSnoopEvents (0x222006) into `buffer` of `size` bytes. 0 when
    // the request is pending or already done (its completion signals the
    // event either way), else the system's error: 6 without an open device.
    uint32_t IssueRead(void* buffer, uint32_t size);
    // Whether the last IssueRead was done at once: a record was waiting.
    bool LastReadDoneAtOnce() const;

    // The outcome of the request whose completion signalled the event: 0 with
    // the bytes it transferred, or the system's error: 996
    // (ERROR_IO_INCOMPLETE) while it has not completed, 6 without an open
    // device, or the error the request ended with (995 when cancelled).
    uint32_t ReadResult(uint32_t& transferred);

    // Cancels the outstanding request (CancelIo) and waits up to waitMs for
    // it to complete. 0, or the system's error of the cancel call.
    uint32_t CancelRead(uint32_t waitMs);

    // Closes the handle (no-op when it is not open).
    void Close();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
