// The POSIX CSnoopDevice is an in-process device: there is no driver, so tests
// and benchmarks hand it records here, and it completes the outstanding read
// with them (or queues them) as the driver stand-in does. Windows has no such
// device: its CSnoopDevice opens the real one, so nothing here is defined there.
#pragma once
#include <cstddef>
#include <cstdint>

#include "agent/snoop/snoop_event.h"

namespace bx::snoopdev {

// Records waiting for a read at most; InjectSnoopRecord then fails with 1450
// (ERROR_NO_SYSTEM_RESOURCES), as the driver stand-in does.
constexpr size_t kInProcessQueueCapacity = 4096;

// Present (the default): Open succeeds. Absent: Open fails with 2, as on a
// machine without the driver.
void SetDevicePresent(bool present);
// Completes the outstanding read with the record, or queues it. 0 or 1450.
uint32_t InjectSnoopRecord(const snoop_event_t& record);
// The same for a read that ends badly: with only the first `bytes` bytes of
// the record, or with the system error `error` and nothing transferred.
uint32_t InjectShortSnoopRecord(const snoop_event_t& record, uint32_t bytes);
uint32_t InjectFailedRead(uint32_t error);
size_t QueuedSnoopRecords();
bool ReadOutstanding();
// Present, empty, no read outstanding.
void ResetInProcessDevice();

}  // namespace bx::snoopdev
