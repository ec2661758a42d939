#include "cli/run.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "bootloader/bootloader.h"
#include "cli/board_id.h"
#include "cli/board_memory.h"
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
void warn_outside_map(const write_plan& plan, const run_sink& report) {
  for (const image_segment& part : plan.outside) {
    if (part.bytes.empty()) continue;  // an empty image's transfer of 0 bytes
    const auto last = part.address + static_cast<uint32_t>(part.bytes.size() - 1);
    char text[100];
    std::snprintf(text, sizeof text,
                  "bytes 0x%08lx-0x%08lx lie outside the flash map: written without an erase",
                  static_cast<unsigned long>(part.address), static_cast<unsigned long>(last));
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

// Bytes that the erase of a sector clears before the image's own bytes in
// it (a boot loader, calibration data beside a small image) are lost
// without --keep-unwritten: the user is told which, before anything is
// done. The rest of a sector after the image's end is erased as always.
void warn_cleared_before_image(const write_plan& plan, const run_sink& report) {
  for (const planned_sector& planned : plan.sectors) {
    for (const address_range& range : cleared_before_image(planned)) {
      char text[128];
      std::snprintf(text, sizeof text,
                    "erasing sector %lu also clears 0x%08lX-0x%08lX, outside the image: "
                    "--keep-unwritten keeps them",
                    static_cast<unsigned long>(planned.sector.number),
                    static_cast<unsigned long>(range.first),
                    static_cast<unsigned long>(range.last));
      report(run_warning{text});
    }
  }
}

// A run with --save and neither --write nor --verify needs no image: none
// is opened, not even the default one. Any other run loads it, even for the
// handshake alone.
bool image_used(const run_settings& settings) {
  return settings.write || settings.verify || (!settings.save_path && !settings.forget_board);
}

// The end object as the command line fills it, before anything is done.
end_line outcome_of(const run_settings& settings) {
  return {.port = settings.port_name,
          .image = image_used(settings) ? std::optional(settings.image_path) : std::nullopt,
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

// Whether the event is the start of a write that sends blocks: from then on
// the board's flash may hold the image's bytes.
bool write_block_sent(const run_event& event) {
  const auto* protocol = std::get_if<protocol_event>(&event);
  if (protocol == nullptr || protocol->phase != run_phase::write) return false;
  const auto* begun = std::get_if<transfer_begun>(&protocol->event);
  return begun != nullptr && begun->size > 0;
}

}  // namespace

int run(const std::vector<std::string>& words) {
  const auto started = std::chrono::steady_clock::now();
  run_settings settings;
  std::string usage_error;
  const bool usable = parse_options(words, settings, usage_error);
  // Asked of the tool itself: no port, no banner.
  if (usable && settings.help) {
    console_write(usage_text());
    return 0;
  }
  if (usable && settings.version) {
    console_write(std::string("vexlor-prog ") + tool_version() + "\n");
    return 0;
  }
  if (!settings.json) console_write(console_banner());
  if (!usable) return refuse_usage(settings, usage_error);
  // Loaded before the port opens, though what is wrong with it is told
  // after, as always: whether it carries its own addresses, and whether it
  // is empty, are rules of the command line.
  image_contents image;
  std::optional<file_failed> image_failure;
  if (image_used(settings)) image_failure = load_run_image(settings, image);
  if (std::string why = refusal_with_image(settings, image); !why.empty()) {
    return refuse_usage(settings, why);
  }
  if (settings.save_path) {
    if (const std::string why = save_target_refusal(settings); !why.empty()) {
      return refuse_usage(settings, why);
    }
  }
  // The board's own bytes (--patch) go into the image before the port is
  // opened: a patch that misses it is a slip on the command line, refused
  // before any line moves.
  if (std::string missed;
      !image_failure && !apply_patches(image.segments, settings.patches, missed)) {
    return refuse_usage(settings, missed);
  }
  // Only a write has a plan; a verify alone reads the image as it is.
  write_plan plan = settings.write ? plan_of_image(image.segments) : write_plan{};

  end_line outcome = outcome_of(settings);
  bool write_begun = false;
  const run_sink render = settings.json ? json_sink() : console_sink();
  const run_sink report = [&](const run_event& event) {
    // The first failure names the run's outcome.
    if (const auto failure = failure_of(event); failure && !outcome.phase) {
      outcome.phase = failure->phase;
      outcome.reason = failure->reason;
    }
    if (write_block_sent(event)) write_begun = true;
    render(event);
  };

  // Before anything is done: what looks like a slip on the command line.
  for (const std::string& slip : settings.slips) report(run_warning{slip});
  if (settings.forget_board) {
    outcome.board_id = settings.forget_board;
    return finish(!forget_board(settings, report), outcome, started, report);
  }

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

  if (image.format) outcome.format = image_format_word(*image.format);
  bool error_flag = false;
  if (image_failure) {
    report(*image_failure);
    error_flag = true;
  } else {
    if (image_used(settings)) {
      outcome.size = image.file_size;
      outcome.sha256 = image.sha256;
      outcome.segments = static_cast<uint32_t>(image.segments.size());
      outcome.address = image.segments.front().address;
    }
    if (settings.write) {
      warn_outside_map(plan, report);
      if (!settings.keep_unwritten) warn_cleared_before_image(plan, report);
    }
    if (!enter_and_greet(port, settings, report)) error_flag = true;
    warn_about_line_rate(port, rate, report);
    if (settings.board_id) {
      outcome.board_id = board_id_phase(port, *settings.board_id, error_flag, report);
    }
    board_memory board =
        recall_board(settings, error_flag ? std::nullopt : outcome.board_id, report);
    if (settings.write && !error_flag) plan_board_write(board, plan, settings, report);
    if (settings.write) {
      if (settings.changed_only && !error_flag) {
        outcome.sectors_written = static_cast<uint32_t>(plan.sectors.size());
      }
      if (settings.keep_unwritten) keep_phase(port, plan, error_flag, report);
      write_phase(port, plan, error_flag, report);
    }
    if (settings.verify) {
      verify_phase(port, settings.write ? plan.verify : image.segments, error_flag, report,
                   settings.verify_until_differ);
    }
    remember_board(board, plan, settings, error_flag, report);
    if (settings.save_path && save_phase(port, settings, error_flag, report)) {
      outcome.saved = settings.save_path;
    }
  }
  if (write_begun) outcome.written_sha256 = written_digest(image.segments);

  std::string closing_failure;
  if (!drive_line_steps(port, settings.leave, closing_failure) && !port_gone(port)) {
    // The flash is as the run left it; the board may not have been let go.
    report(run_warning{"the closing line sequence: " + closing_failure});
  }
  // The board let go: its own words, when they were asked for.
  const bool stop_ended_monitor = watch_released_board(port, settings, error_flag, outcome, report);
  port_close(port);
  image = {};  // released last, after the port
  plan = {};
  return finish(error_flag, outcome, started, report, stop_ended_monitor);
}
