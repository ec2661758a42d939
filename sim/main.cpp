// vexlor-sim: the target's serial boot loader on a pseudo-terminal, so the
// programmer can be tried, tested and measured without a board.
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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
#include "contract/run_contract.h"
#include "recorder_words.h"
#include "sim_options.h"
#include "stop/stop_requests.h"
#include "target.h"
#include "text/system_words.h"
#include "text/visible_text.h"

namespace {

constexpr int64_t once_first_open_ns = 60'000'000'000;

// The pty's path in `path`, whole or not at all (a file beside it, renamed
// over it), so that a script that waits for the file finds the path in it.
bool write_ready_file(const std::string& path, const std::string& pty_path, std::string& error) {
  const std::string partial = path + ".partial-" + std::to_string(getpid());
  const int fd = open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  const std::string text = pty_path + "\n";
  const bool written =
      fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (fd >= 0) close(fd);
  if (!written || rename(partial.c_str(), path.c_str()) != 0) {
    error = "--ready-file " + path + ": " + std::strerror(errno);
    unlink(partial.c_str());
    return false;
  }
  return true;
}

void end_session(pty_link& link, line_channel& lines, sim_log& log) {
  pty_close_master(link);
  pty_remove_symlink(link);
  line_channel_close(lines);
  log_close(log);
}

bool write_dumps(const target& t, const std::vector<memory_dump>& dumps) {
  bool ok = true;
  for (const auto& dump : dumps) {
    std::string error;
    if (!dump_image(t.memory, dump.address, dump.size, dump.path, error)) {
      std::fprintf(stderr, "vexlor-sim: %s\n", visible_text(error).c_str());
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
    std::fprintf(stderr, "vexlor-sim: %s\n%s", visible_text(error).c_str(), sim_usage().c_str());
    return 2;
  }
  if (options->help) {
    std::fputs(sim_usage().c_str(), stdout);
    return 0;
  }
  if (options->version) {
    std::printf("vexlor-sim %s\n", tool_version());
    return 0;
  }

  target t;
  t.erase_ns = int64_t{options->erase_ms} * 1'000'000;
  t.faults.rules = options->faults;
  t.board.setup = options->board;
  for (const auto& load : options->loads) {
    if (!load_image(t.memory, load.address, load.path, error)) {
      std::fprintf(stderr, "vexlor-sim: %s\n", visible_text(error).c_str());
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
  const int64_t started_ns = monotonic_ns();
  if (options->max_seconds > 0 && options->max_seconds < 3e9) {
    config.deadline_ns = started_ns + static_cast<int64_t>(options->max_seconds * 1e9);
  }
  // A --once simulator that nobody opens (a script that failed before its
  // programmer ran) must not wait for ever.
  if (options->once) config.first_open_deadline_ns = started_ns + once_first_open_ns;

  sim_log log;
  if (!options->log_path.empty() && !log_open(log, options->log_path)) {
    std::fprintf(stderr, "vexlor-sim: cannot open log %s\n",
                 visible_text(options->log_path).c_str());
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
    std::fprintf(stderr, "vexlor-sim: %s\n", visible_text(error).c_str());
    end_session(link, lines, log);
    return 1;
  }
  if (!options->lines_from.empty()) config.lines = &lines;
  // Ready: the ready file first, then the first line, so that either tells
  // a script that the port can be opened now.
  if (!options->ready_file.empty() &&
      !write_ready_file(options->ready_file, link.slave_path, error)) {
    std::fprintf(stderr, "vexlor-sim: %s\n", visible_text(error).c_str());
    end_session(link, lines, log);
    return 1;
  }
  std::printf("%s\n", link.slave_path.c_str());
  // With a line channel, the second line is what to put before a
  // programmer's command for its control lines to come here.
  if (!options->lines_from.empty()) {
    const std::string recorder = line_recorder_path();
    if (access(recorder.c_str(), R_OK) != 0) {
      std::fprintf(stderr,
                   "vexlor-sim: the line recorder %s: %s; a programmer's control lines reach "
                   "--lines-from only through it\n",
                   visible_text(recorder).c_str(), system_words(errno).c_str());
    }
    std::printf("%s\n", visible_text(recorder_words(recorder, options->lines_from)).c_str());
  }
  std::fflush(stdout);

  loop_end end = run_sim_loop(link.master, config, t, log);
  if (end == loop_end::timed_out) std::fprintf(stderr, "vexlor-sim: --max-seconds reached\n");
  if (end == loop_end::nobody_came) {
    std::fprintf(stderr, "vexlor-sim: nobody opened the port within %d s\n",
                 static_cast<int>(once_first_open_ns / 1'000'000'000));
  }

  pty_close_master(link);
  bool dumped = write_dumps(t, options->dumps);
  if (!options->ready_file.empty()) unlink(options->ready_file.c_str());
  end_session(link, lines, log);
  return end == loop_end::failed || end == loop_end::nobody_came || !dumped ? 1 : 0;
}
