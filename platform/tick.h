// Millisecond tick count.
#pragma once

#include <cstdint>

namespace torvane {

// Milliseconds of the monotonic clock, truncated to 32 bits. The value
// wraps after about 49.7 days; ages are computed as now - then in uint32_t
// arithmetic so that they stay right across the wrap.
uint32_t GetTickMs();

}  // namespace torvane
