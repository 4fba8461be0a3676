// The status record "HVNConfig.xml": the 40-byte snapshot of the appliance
// communication counters that the configuration tool reads (despite the
// name, no markup). Ten 32-bit signed integers, little-endian, nothing before
// or after them. The bytes are written exactly as they are (binary), so no
// counter byte can be expanded or translated, and the tool reads them the
// same way.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace bx {

constexpr wchar_t kStatusFileName[] = L"HVNConfig.xml";
constexpr size_t kStatusCounters = 10;
constexpr size_t kStatusRecordSize = kStatusCounters * 4;

// Indexes of the counters in the record.
enum StatusCounter : size_t {
    kNotificationsSent = 0,      // datagrams of kinds 3, 4, 5 the socket accepted
    kEnteredInRequestTable = 1,  // open notifications tracked, every sending counted
    kClosesSent = 2,             // close and logoff notifications handed to the sender
    kParseFailures = 3,          // appliance datagrams that failed to parse
    kQueueCount = 4,             // records waiting in the send queue
    kDeletedAfterRetries = 5,    // notifications given up after their last retry
    kQueueCapacity = 6,          // capacity of the send queue
    kRequestTableCount = 7,      // notifications waiting for an answer
    kQueueDropped = 8,           // records dropped by send-queue overflow
    kResponsesProcessed = 9,     // acknowledging responses handled
};

struct StatisticsSnapshot {
    int32_t counters[kStatusCounters] = {};
};

// The 40 bytes of the record.
void EncodeStatusRecord(const StatisticsSnapshot& snapshot, uint8_t (&bytes)[kStatusRecordSize]);
// The snapshot from 40 bytes (false, and zeros, when `count` is not 40).
bool DecodeStatusRecord(const uint8_t* bytes, size_t count, StatisticsSnapshot& snapshot);

// Writes the record to `dir`\HVNConfig.xml (the current directory when dir
// is empty), replacing what was there. 0 or the system's error.
uint32_t WriteStatusFile(const StatisticsSnapshot& snapshot, const std::wstring& dir);

}  // namespace bx
