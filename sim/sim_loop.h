// The event loop: waits for the programmer to open the port, feeds the target
// the received bytes at their wire arrival times, puts the target's answers on
// the line when they are due, and notices the close. Single-threaded.
#pragma once

#include <cstdint>
#include <vector>

#include "line_channel.h"
#include "sim_log.h"
#include "target.h"

struct loop_config {
  bool once = false;
  uint32_t baud = 0;
  uint32_t latency_ms = 0;       // a USB adapter's latency timer; 0: no adapter
  std::vector<uint8_t> chatter;  // put on the line before anyone opens it
  std::vector<uint8_t> on_open;  // sent the moment an open is seen
  int64_t deadline_ns = INT64_MAX;
  // With --once: nobody having opened the port by then ends the wait.
  int64_t first_open_deadline_ns = INT64_MAX;
  line_channel* lines = nullptr;  // the host's control-line changes; nullptr: none
};

enum class loop_end { once_done, vanished, signalled, timed_out, nobody_came, failed };

// Ends with `signalled` at a stop request (stop/stop_requests.h), which
// every wait of the loop watches for.
loop_end run_sim_loop(int master, const loop_config& config, target& t, sim_log& log);
