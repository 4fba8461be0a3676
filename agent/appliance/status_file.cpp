#include "agent/appliance/status_file.h"

#include "platform/files.h"

namespace bx {

void EncodeStatusRecord(const StatisticsSnapshot& snapshot, uint8_t (&bytes)[kStatusRecordSize]) {
    for (size_t i = 0; i < kStatusCounters; ++i) {
        const uint32_t value = static_cast<uint32_t>(snapshot.counters[i]);
        bytes[4 * i + 0] = static_cast<uint8_t>(value);
        bytes[4 * i + 1] = static_cast<uint8_t>(value >> 8);
        bytes[4 * i + 2] = static_cast<uint8_t>(value >> 16);
        bytes[4 * i + 3] = static_cast<uint8_t>(value >> 24);
    }
}

bool DecodeStatusRecord(const uint8_t* bytes, size_t count, StatisticsSnapshot& snapshot) {
    snapshot = StatisticsSnapshot{};
    if (!bytes || count != kStatusRecordSize) return false;
    for (size_t i = 0; i < kStatusCounters; ++i) {
        const uint32_t value = static_cast<uint32_t>(bytes[4 * i]) | static_cast<uint32_t>(bytes[4 * i + 1]) << 8 |
                               static_cast<uint32_t>(bytes[4 * i + 2]) << 16 |
                               static_cast<uint32_t>(bytes[4 * i + 3]) << 24;
        snapshot.counters[i] = static_cast<int32_t>(value);
    }
    return true;
}

uint32_t WriteStatusFile(const StatisticsSnapshot& snapshot, const std::wstring& dir) {
    uint8_t bytes[kStatusRecordSize] = {};
    EncodeStatusRecord(snapshot, bytes);
    return files::WriteWholeFile(files::JoinPath(dir, kStatusFileName), bytes, sizeof bytes);
}

}  // namespace bx
