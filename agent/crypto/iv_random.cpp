#include "agent/crypto/iv_random.h"

#include <atomic>

namespace bx {
namespace {
std::atomic<uint32_t> state{1};
}

void SeedIvRandom(uint32_t seed) { state.store(seed, std::memory_order_relaxed); }

uint32_t NextIvRandom() {
    uint32_t current = state.load(std::memory_order_relaxed), next;
    do {
        next = current * 214013u + 2531011u;
    } while (!state.compare_exchange_weak(current, next, std::memory_order_relaxed));
    return (next >> 16) & 0x7FFF;
}

}  // namespace bx
