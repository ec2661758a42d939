// One time base for the whole simulator: CLOCK_MONOTONIC in nanoseconds.
#pragma once

#include <cstdint>
#include <ctime>

inline int64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}
