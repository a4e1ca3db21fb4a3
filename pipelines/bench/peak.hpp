// The multiply+add bound of this processor: how fast the eight-lane multiply and add
// units (the only arithmetic of a pair's Sxy) run when nothing else limits them.
#pragma once

#include <cstdint>

namespace corrshift {

// Lane multiply+add pairs per second of `jobs` threads, each running `rounds` rounds of
// ten independent eight-lane multiplies then adds (no FMA) on cached data; 0 without AVX2.
double multiply_add_rate(std::int32_t jobs, std::int64_t rounds);

}  // namespace corrshift
