// Wire time of one direction of the serial line: each byte takes ten bit
// times (8N1) and a byte cannot start before the previous one has ended.
#pragma once

#include <algorithm>
#include <cstdint>

struct line_pacer {
  int64_t byte_ns = 0;  // 0: no pacing, bytes take no time
  int64_t last_ns = 0;  // when the previous byte finished
};

inline line_pacer make_pacer(uint32_t baud) {
  line_pacer pacer;
  if (baud > 0) pacer.byte_ns = (int64_t{10'000'000'000} + baud / 2) / baud;
  return pacer;
}

// A byte that is ready at `ready_ns` has crossed the line at the returned
// time; `quiet_ns` keeps the line idle that long after the byte before.
inline int64_t pace_byte(line_pacer& pacer, int64_t ready_ns, int64_t quiet_ns = 0) {
  pacer.last_ns = std::max(ready_ns, pacer.last_ns + quiet_ns) + pacer.byte_ns;
  return pacer.last_ns;
}
