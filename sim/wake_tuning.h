// The kernel wakes a timed sleep some tens of microseconds late; at high baud
// rates that is a good share of a byte time, and it would add to every answer
// the host waits for.
//
// While bytes stream, the loop learns the usual lateness and aims that much
// early, which centres the writes on their due times instead of trailing them.
//
// The last byte queued is the one the host waits for before it may send again
// (an acknowledge, the end of a read block). The loop wakes well before it and
// spins to its due time, so it goes out on time: neither early, which would
// flatter the host, nor late by the kernel's wake-up delay, which would be
// charged to the host at every turn of the protocol. The lead is learned from
// those wakes (mean lateness plus two mean deviations) and held to 100 us:
// on a machine that runs dozens of simulators a longer spin would take the
// CPU their wakes need, and make every one of them later still.
#pragma once

#include <algorithm>
#include <cstdint>

#include "line_pacer.h"
#include "sim_clock.h"

struct wake_tuning {
  int64_t early_ns = 0;
  int64_t max_early_ns = 0;           // half a byte time: never a whole byte early
  int64_t answer_late_ns = 50'000;    // mean lateness of the wakes before a last byte
  int64_t answer_spread_ns = 20'000;  // and its mean deviation
};

inline constexpr int64_t max_answer_lead_ns = 100'000;

inline wake_tuning make_wake_tuning(uint32_t baud) {
  wake_tuning tuning;
  tuning.max_early_ns = std::min<int64_t>(make_pacer(baud).byte_ns / 2, 200'000);
  return tuning;
}

inline void learn_lateness(wake_tuning& tuning, int64_t late_ns) {
  tuning.early_ns += (late_ns - tuning.early_ns) / 16;
  tuning.early_ns = std::clamp<int64_t>(tuning.early_ns, 0, tuning.max_early_ns);
}

// How long before a last byte's due time the loop aims to wake.
inline int64_t answer_lead_ns(const wake_tuning& tuning) {
  return std::clamp<int64_t>(tuning.answer_late_ns + 2 * tuning.answer_spread_ns, 0,
                             max_answer_lead_ns);
}

inline void learn_answer_lateness(wake_tuning& tuning, int64_t late_ns) {
  late_ns = std::clamp<int64_t>(late_ns, 0, max_answer_lead_ns);
  const int64_t deviation = late_ns > tuning.answer_late_ns ? late_ns - tuning.answer_late_ns
                                                            : tuning.answer_late_ns - late_ns;
  tuning.answer_late_ns += (late_ns - tuning.answer_late_ns) / 16;
  tuning.answer_spread_ns += (deviation - tuning.answer_spread_ns) / 16;
}

inline void spin_until(int64_t due_ns) {
  while (monotonic_ns() < due_ns) {
  }
}
