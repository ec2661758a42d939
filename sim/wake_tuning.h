// The kernel wakes a timed sleep some tens of microseconds late; at high baud
// rates that is a good share of a byte time, and it would add to every answer
// the host waits for. So the loop learns the usual lateness and aims that much
// early, which centres the writes on their due times instead of trailing them.
#pragma once

#include <algorithm>
#include <cstdint>

#include "line_pacer.h"

struct wake_tuning {
  int64_t early_ns = 0;
  int64_t max_early_ns = 0;  // half a byte time: never a whole byte early
};

inline wake_tuning make_wake_tuning(uint32_t baud)
{
  wake_tuning tuning;
  tuning.max_early_ns = std::min<int64_t>(make_pacer(baud).byte_ns / 2, 200'000);
  return tuning;
}

inline void learn_lateness(wake_tuning& tuning, int64_t late_ns)
{
  tuning.early_ns += (late_ns - tuning.early_ns) / 16;
  tuning.early_ns = std::clamp<int64_t>(tuning.early_ns, 0, tuning.max_early_ns);
}
