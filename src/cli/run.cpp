#include "cli/run.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "bootloader/bootloader.h"
#include "cli/board_id.h"
#include "cli/console_report.h"
#include "image/image.h"
#include "cli/json_report.h"
#include "options/options.h"
#include "cli/phases.h"
#include "cli/released_board.h"
#include "serial/port_reason.h"
#include "cli/run_image.h"
#include "cli/save.h"
#include "stop/stop_requests.h"
#include "text/visible_text.h"

namespace {

constexpr int exit_usage = 2;

// The digest of what is written: the segments' bytes one after another,
// with the run's patches in them.
std::string written_digest(const std::vector<image_segment>& segments) {
  std::vector<std::span<const uint8_t>> written;
  for (const image_segment& segment : segments) written.emplace_back(segment.bytes);
  return sha256_hex(written);
}

// The opening line sequence before each start byte, and the start
// handshake. A sequence that could not be driven has not put the board into
// its boot loader: the start byte is not sent, and the handshake fails
// saying why.
bool enter_and_greet(port_handle port, const run_settings& settings, const run_sink& report) {
  const board_entry enter = [&](std::string& why) {
    if (drive_line_steps(port, settings.enter, why)) return true;
    why = "the opening line sequence: " + why;
    return false;
  };
  // No input is discarded before the first start byte: a byte the target
  // sends after the line sequence is taken as its answer.
  return device_connect(port, settings.connect_attempts, enter,
                        phase_sink(run_phase::handshake, report));
}

// A driver that cannot make the rate asked for (a UART's clock divides only
// so finely) takes another and says nothing; the run goes on at that rate,
// but the user should know why it may fail. Told after the handshake's line.
void warn_about_line_rate(port_handle port, std::optional<line_rate> asked,
                          const run_sink& report) {
  const uint32_t applied = port_line_rate(port);
  if (!asked || applied == 0 || applied == asked->bits_per_second) return;
  report(run_warning{"the driver set " + std::to_string(applied) + " baud, not the " +
                     std::to_string(asked->bits_per_second) + " asked for"});
}

// Bytes that no sector of the flash map holds are written without an
// erase: right for RAM, a mistake for an image too big for the flash or an
// address one zero short. The run goes on; the user is told where.
void warn_outside_map(uint32_t address, uint32_t size, const run_sink& report) {
  for (const address_range& range : ranges_outside_map(address, size)) {
    char text[100];
    std::snprintf(text, sizeof text,
                  "bytes 0x%08lx-0x%08lx lie outside the flash map: written without an erase",
                  static_cast<unsigned long>(range.first), static_cast<unsigned long>(range.last));
    report(run_warning{text});
  }
}

// The run's outcome, sent as the last event. A stopped run counts as failed
// even when its last exchange went through: whoever stopped it cannot know
// how far it got. A stop that only ended --monitor (`stop_ended_monitor`)
// leaves the outcome as the run had come to it.
int finish(bool error_flag, end_line& outcome, std::chrono::steady_clock::time_point started,
           const run_sink& report, bool stop_ended_monitor = false) {
  const int stopped = stop_ended_monitor ? 0 : stop_exit_status();
  if (stopped != 0) {
    outcome.phase = run_phase::signal;
    outcome.reason = stop_reason();
  }
  outcome.ok = !error_flag && stopped == 0;
  outcome.errors = outcome.ok ? 0 : 1;
  outcome.exit = stopped != 0 ? stopped : outcome.ok ? 0 : 1;
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
  outcome.seconds = std::round(elapsed.count() * 1000) / 1000;
  report(run_ended{outcome});
  return outcome.exit;
}

// The end object as the command line fills it, before anything is done.
end_line outcome_of(const run_settings& settings) {
  return {.port = settings.port_name,
          .image = settings.image_path,
          .address = settings.address,
          .baud = settings.baud_rate,
          .version = tool_version(),
          .write = settings.write,
          .verify = settings.verify};
}

// A command line the run does not begin with: said on standard error (and
// as the end object with --json), before any port is opened.
int refuse_usage(const run_settings& settings, const std::string& why) {
  std::fprintf(stderr, "vexlor-prog: %s\n", visible_text(why).c_str());
  if (settings.json) {
    end_line outcome = outcome_of(settings);
    outcome.exit = exit_usage;
    outcome.phase = run_phase::usage;
    outcome.reason = why;
    console_write(run_line_text(outcome));
  }
  return exit_usage;
}

// A run with --save and neither --write nor --verify needs no image: none
// is opened, not even the default one. Any other run loads it, even for the
// handshake alone.
bool image_used(const run_settings& settings) {
  return settings.write || settings.verify || !settings.save_path;
}

// The command line's rules that take more than its words: the image's
// format, the file --save would make. Empty when the run may begin.
std::string refusal_before_port(const run_settings& settings, const run_image& image) {
  // With --save the address names the range to save; otherwise it would
  // silently mean nothing.
  if (image_used(settings) && carries_addresses(image) && settings.address_given &&
      !settings.save_path) {
    return "--address means nothing for " + visible_text(settings.image_path) + ": " +
           image_format_name(image.format) + " carries its own addresses";
  }
  if (settings.save_path) return save_target_refusal(settings);
  return {};
}

}  // namespace

int run(const std::vector<std::string>& words) {
  const auto started = std::chrono::steady_clock::now();
  run_settings settings;
  std::string usage_error;
  const bool usable = parse_options(words, settings, usage_error);
  if (!settings.json) console_write(console_banner());
  if (!usable) return refuse_usage(settings, usage_error);
  // Loaded before the port opens, though what is wrong with it is told
  // after, as always: whether it carries its own addresses is a rule of the
  // command line.
  run_image image;
  if (image_used(settings)) load_run_image(settings, image);
  if (const std::string why = refusal_before_port(settings, image); !why.empty()) {
    return refuse_usage(settings, why);
  }
  // The board's own bytes (--patch) go into the image before the port is
  // opened: a patch that misses it is a slip on the command line, refused
  // before any line moves.
  if (std::string missed;
      !image.failure && !apply_patches(image.segments, settings.patches, missed)) {
    return refuse_usage(settings, missed);
  }

  end_line outcome = outcome_of(settings);
  const run_sink render = settings.json ? json_sink() : console_sink();
  const run_sink report = [&](const run_event& event) {
    // The first failure names the run's outcome.
    if (const auto failure = failure_of(event); failure && !outcome.phase) {
      outcome.phase = failure->phase;
      outcome.reason = failure->reason;
    }
    render(event);
  };

  // Before anything is done: what looks like a slip on the command line.
  for (const std::string& slip : settings.slips) report(run_warning{slip});

  port_open_error why;
  port_handle port = port_open(settings.port_name, &why);
  if (port == nullptr) {
    report(port_failed{.port = settings.port_name, .reason = port_failure_reason(why)});
    return finish(true, outcome, started, report);
  }
  // A rate of 0 or below is never asked for; a port that refuses a rate
  // keeps its settings. Either way the run goes on.
  const std::optional<line_rate> rate = line_rate_from(settings.baud_rate);
  if (rate) port_set_line(port, *rate);

  bool error_flag = false;
  if (image.failure) {
    report(*image.failure);
    error_flag = true;
  } else {
    if (image_used(settings)) {
      outcome.size = image.file_size;
      outcome.sha256 = image.sha256;
      outcome.written_sha256 = written_digest(image.segments);
      outcome.segments = static_cast<uint32_t>(image.segments.size());
      outcome.address = image.segments.front().address;
    }
    if (settings.write) {
      for (const image_segment& segment : image.segments) {
        warn_outside_map(segment.address, static_cast<uint32_t>(segment.bytes.size()), report);
      }
    }
    if (!enter_and_greet(port, settings, report)) error_flag = true;
    warn_about_line_rate(port, rate, report);
    if (settings.board_id) {
      outcome.board_id = board_id_phase(port, *settings.board_id, error_flag, report);
    }
    if (settings.write) write_phase(port, image.segments, error_flag, report);
    if (settings.verify) {
      verify_phase(port, image.segments, error_flag, report, settings.verify_until_differ);
    }
    if (settings.save_path && save_phase(port, settings, error_flag, report)) {
      outcome.saved = settings.save_path;
    }
  }

  std::string closing_failure;
  if (!drive_line_steps(port, settings.leave, closing_failure) && !port_gone(port)) {
    // The flash is as the run left it; the board may not have been let go.
    report(run_warning{"the closing line sequence: " + closing_failure});
  }
  // The board let go: its own words, when they were asked for.
  const bool stop_ended_monitor = watch_released_board(port, settings, error_flag, outcome, report);
  port_close(port);
  image = {};  // released last, after the port
  return finish(error_flag, outcome, started, report, stop_ended_monitor);
}
