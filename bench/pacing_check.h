// Is the simulator's line pacing true to the baud rate? Traffic is sent in
// one burst, without waiting for any answer, so no turnaround enters the
// figure: only the simulator's byte clock in one direction.
#pragma once

#include <cstdint>
#include <string>

struct pacing_figures {
  uint64_t byte_times = 0;  // how many byte times the burst takes on the line
  double expected_s = 0;
  double measured_s = 0;  // 0 when the exchange failed
};

// Host to target: `blocks` write commands of 256 bytes sent at once; the
// last acknowledge can only follow the last byte.
pacing_figures check_host_to_sim(const std::string& sim_path, uint32_t baud, uint32_t blocks);

// Target to host: `blocks` read commands of 256 bytes sent at once; the
// target's answers queue on its side of the line.
pacing_figures check_sim_to_host(const std::string& sim_path, uint32_t baud, uint32_t blocks);
