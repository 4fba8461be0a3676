// The generator of the random IV bytes: the C library's classic linear
// congruential generator (x = x * 214013 + 2531011, draw = (x >> 16) & 0x7FFF),
// kept process-wide and seeded once at start-up with the millisecond tick
// count. One shared state (not the C library's per-thread one), so the seed
// set on the service thread is the one the dispatcher thread draws from.
#pragma once
#include <cstdint>

namespace bx {

void SeedIvRandom(uint32_t seed);
// One draw, 0 to 0x7FFF.
uint32_t NextIvRandom();

}  // namespace bx
