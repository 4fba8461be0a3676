// Windows error numbers the product returns and tests for. Portable: the core
// compares results against these names instead of including <windows.h>.
#pragma once
#include <cstdint>

namespace bx::err {
constexpr uint32_t kSuccess = 0;
constexpr uint32_t kFileNotFound = 2;  // also: registry key or value absent
constexpr uint32_t kAccessDenied = 5;
constexpr uint32_t kInvalidHandle = 6;
constexpr uint32_t kNotEnoughMemory = 8;
constexpr uint32_t kInvalidData = 13;  // a datagram that could not be parsed
constexpr uint32_t kNotReady = 21;     // logger: no string library loaded
constexpr uint32_t kGenFailure = 31;   // logger: no sink took the message
constexpr uint32_t kAlreadyAssigned = 85;
constexpr uint32_t kInvalidParameter = 87;
constexpr uint32_t kCallNotImplemented = 120;  // service: control not handled
constexpr uint32_t kInsufficientBuffer = 122;
constexpr uint32_t kAlreadyExists = 183;
constexpr uint32_t kMoreData = 234;
constexpr uint32_t kServiceRequestTimeout = 1053;
constexpr uint32_t kFailedServiceControllerConnect = 1063;
constexpr uint32_t kShutdownInProgress = 1115;  // stopping began: nothing more is taken
constexpr uint32_t kNotFound = 1168;
constexpr uint32_t kNoneMapped = 1332;
constexpr uint32_t kInvalidSid = 1337;
constexpr uint32_t kLogFull = 6628;  // logger: file full with stop-when-full
}  // namespace bx::err
