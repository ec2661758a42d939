// Time as the tests and the benchmarks measure it: the monotonic clock, in
// seconds, and deadlines that poll() can wait for.
#pragma once

#include <algorithm>
#include <chrono>
#include <thread>

using test_clock = std::chrono::steady_clock;

inline double seconds_since(test_clock::time_point start) {
  return std::chrono::duration<double>(test_clock::now() - start).count();
}

inline test_clock::time_point deadline_in(double seconds) {
  return test_clock::now() +
         std::chrono::duration_cast<test_clock::duration>(std::chrono::duration<double>(seconds));
}

// The milliseconds left until `deadline`, for poll(): rounded up, so that a
// wait never ends a hair before the deadline and spins; 0 once it has passed.
inline int poll_ms_until(test_clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::microseconds>(deadline - test_clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left / 1000 + 1, 1 << 30));
}

// Asks `ready` every 20 ms until it says yes or `deadline` passes, for what
// no descriptor tells (a file appearing, a line in another process's log);
// its last answer.
template <typename Ready>
bool wait_until(test_clock::time_point deadline, Ready ready) {
  while (!ready()) {
    if (test_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// The quickest of `runs` timings of `step`. A loaded machine only ever adds
// time, so the quickest run shows what the code itself takes.
template <typename Step>
double quickest_of(int runs, Step step) {
  double quickest = 1e9;
  for (int i = 0; i < runs; ++i) {
    const auto start = test_clock::now();
    step();
    quickest = std::min(quickest, seconds_since(start));
  }
  return quickest;
}
