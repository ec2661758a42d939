// vexlor-sim: the target's serial boot loader on a pseudo-terminal, so the
// programmer can be tried, tested and measured without a board.
#include <sys/prctl.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "faults.h"
#include "image_files.h"
#include "line_channel.h"
#include "pty_link.h"
#include "sim_clock.h"
#include "sim_log.h"
#include "sim_loop.h"
#include "sim_options.h"
#include "stop/stop_requests.h"
#include "target.h"

namespace {

bool write_dumps(const target& t, const std::vector<memory_dump>& dumps) {
  bool ok = true;
  for (const auto& dump : dumps) {
    std::string error;
    if (!dump_image(t.memory, dump.address, dump.size, dump.path, error)) {
      std::fprintf(stderr, "vexlor-sim: %s\n", error.c_str());
      ok = false;
    }
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  auto options = parse_sim_options(args, error);
  if (!options) {
    std::fprintf(stderr, "vexlor-sim: %s\n%s", error.c_str(), sim_usage().c_str());
    return 2;
  }

  target t;
  t.erase_ns = int64_t{options->erase_ms} * 1'000'000;
  t.faults.rules = options->faults;
  t.board.setup = options->board;
  for (const auto& load : options->loads) {
    if (!load_image(t.memory, load.address, load.path, error)) {
      std::fprintf(stderr, "vexlor-sim: %s\n", error.c_str());
      return 2;
    }
  }

  if (options->board_id) {
    board_identity& id = *options->board_id;
    std::random_device random;
    for (uint32_t i = 0; i < id.random_length; ++i) {
      id.bytes.push_back(static_cast<uint8_t>(random()));
    }
    memory_store(t.memory, id.address, id.bytes);
  }

  loop_config config;
  config.once = options->once;
  config.baud = options->baud;
  config.latency_ms = options->latency_ms;
  config.chatter = options->chatter;
  config.on_open = options->on_open;
  // Beyond a century the bound means nothing and would overflow nanoseconds.
  if (options->max_seconds > 0 && options->max_seconds < 3e9) {
    config.deadline_ns = monotonic_ns() + static_cast<int64_t>(options->max_seconds * 1e9);
  }

  sim_log log;
  if (!options->log_path.empty() && !log_open(log, options->log_path)) {
    std::fprintf(stderr, "vexlor-sim: cannot open log %s\n", options->log_path.c_str());
    return 2;
  }

  // Pacing wakes up every byte time (87 us at 115200 baud); the default
  // 50 us timer slack would be a visible share of that.
  prctl(PR_SET_TIMERSLACK, 1000UL);
  catch_stop_requests();

  pty_link link;
  line_channel lines;
  if (!pty_create(link, error) ||
      (!options->link_path.empty() && !pty_make_symlink(link, options->link_path, error)) ||
      (!options->lines_from.empty() && !line_channel_open(lines, options->lines_from, error))) {
    std::fprintf(stderr, "vexlor-sim: %s\n", error.c_str());
    pty_close_master(link);
    pty_remove_symlink(link);
    log_close(log);
    return 1;
  }
  if (!options->lines_from.empty()) config.lines = &lines;
  std::printf("%s\n", link.slave_path.c_str());
  std::fflush(stdout);

  loop_end end = run_sim_loop(link.master, config, t, log);
  if (end == loop_end::timed_out) std::fprintf(stderr, "vexlor-sim: --max-seconds reached\n");

  pty_close_master(link);
  bool dumped = write_dumps(t, options->dumps);
  pty_remove_symlink(link);
  line_channel_close(lines);
  log_close(log);
  return end == loop_end::failed || !dumped ? 1 : 0;
}
