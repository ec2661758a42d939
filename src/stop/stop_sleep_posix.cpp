// A pause that a stop request ends. A file of its own, so that the
// in-process test line can stand in its own pause, which moves its clock.
#include <poll.h>

#include <chrono>

#include "stop/stop_requests.h"
#include "stop/stop_wait_posix.h"

void sleep_ms(unsigned milliseconds) {
  using clock_type = std::chrono::steady_clock;
  const auto deadline = clock_type::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
    if (left <= 0 || stop_requested()) return;
    // Rounded up, so that the poll never returns a hair early and loops.
    pollfd stop{stop_wait_descriptor(), POLLIN, 0};
    if (poll(&stop, 1, static_cast<int>(left) + 1) > 0) return;
  }
}
