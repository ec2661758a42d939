#include "cli/run.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "bootloader/bootloader.h"
#include "cli/console_report.h"
#include "cli/image_file.h"
#include "cli/image_format.h"
#include "cli/json_report.h"
#include "cli/options.h"
#include "cli/phases.h"
#include "cli/port_reason.h"
#include "cli/sha256.h"

namespace {

constexpr unsigned line_settle_ms = 10;

run_event front_end_failed(run_phase phase, front_end_failure failure, const std::string& subject,
                           std::string reason) {
  return {.phase = phase,
          .ok = false,
          .reason = std::move(reason),
          .failure = failure,
          .subject = subject};
}

// Loads the image and checks that it may be programmed where it is to go;
// says why not. Nothing has been sent to the target yet when this fails.
bool load_image_file(const run_settings& settings, std::FILE*& file, std::vector<uint8_t>& image,
                     const event_sink& report) {
  const std::string& path = settings.image_path;
  std::string why;
  file = image_open(path, why);
  if (file == nullptr) {
    report(front_end_failed(run_phase::file, front_end_failure::cannot_open_file, path, why));
    return false;
  }
  if (!image_load(file, path, image, why)) {
    report(front_end_failed(run_phase::file, front_end_failure::cannot_read_file, path, why));
    return false;
  }
  if (const char* advice = image_format_advice(recognise_image_format(image))) {
    report(front_end_failed(run_phase::file, front_end_failure::cannot_read_file, path, advice));
    return false;
  }
  // Past 2^32 the block addresses would wrap to 0 and write flash that the
  // sector choice never erased.
  if (uint64_t{settings.address} + image.size() > uint64_t{1} << 32) {
    run_event event = front_end_failed(run_phase::file, front_end_failure::image_does_not_fit, path,
                                       "it would run past the end of the address space");
    event.address = settings.address;
    event.size = static_cast<uint32_t>(image.size());
    report(event);
    return false;
  }
  return true;
}

// A driver that cannot make the rate asked for (a UART's clock divides only
// so finely) takes another and says nothing; the run goes on at that rate,
// but the user should know why it may fail. Told after the handshake's line.
void warn_about_line_rate(port_handle port, std::optional<line_rate> asked,
                          const event_sink& report) {
  const uint32_t applied = port_line_rate(port);
  if (!asked || applied == 0 || applied == asked->bits_per_second) return;
  report({.kind = event_kind::warning,
          .reason = "the driver set " + std::to_string(applied) + " baud, not the " +
                    std::to_string(asked->bits_per_second) + " asked for"});
}

// The run's outcome: the first failure reported names it.
void note_failure(run_summary& summary, const run_event& event) {
  const bool failed =
      (event.kind == event_kind::ended || event.kind == event_kind::compared) && !event.ok;
  if (!failed || summary.failed_phase) return;
  summary.failed_phase = event.phase;
  summary.reason = event.reason;
}

// A stopped run counts as failed even when its last exchange went through:
// whoever stopped it cannot know how far it got.
int finish(bool error_flag, const run_settings& settings, run_summary& summary,
           std::chrono::steady_clock::time_point started) {
  const int stopped = stop_exit_status();
  if (stopped != 0) {
    summary.failed_phase = run_phase::signal;
    summary.reason = stop_reason();
  }
  summary.ok = !error_flag && stopped == 0;
  summary.exit_status = stopped != 0 ? stopped : summary.ok ? 0 : 1;
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
  summary.seconds = std::round(elapsed.count() * 1000) / 1000;
  console_write(settings.json ? json_end_line(summary) : console_final_line(!summary.ok));
  return summary.exit_status;
}

}  // namespace

int run(const std::vector<std::string>& words) {
  const auto started = std::chrono::steady_clock::now();
  const run_settings settings = parse_options(words);
  if (!settings.json) console_write(console_banner);
  run_summary summary{.port = settings.port_name,
                      .image = settings.image_path,
                      .address = settings.address,
                      .baud = settings.baud_rate};
  const event_sink render = settings.json ? json_sink() : console_sink();
  const event_sink report = [&](const run_event& event) {
    note_failure(summary, event);
    render(event);
  };

  port_open_error why;
  port_handle port = port_open(settings.port_name, &why);
  if (port == nullptr) {
    report(front_end_failed(run_phase::port, front_end_failure::cannot_open_port,
                            settings.port_name, port_failure_reason(why)));
    return finish(true, settings, summary, started);
  }
  // A rate of 0 or below is never asked for; a port that refuses a rate
  // keeps its settings. Either way the run goes on.
  const std::optional<line_rate> rate = line_rate_from(settings.baud_rate);
  if (rate) port_set_line(port, *rate);

  bool error_flag = false;
  std::vector<uint8_t> image;
  std::FILE* file = nullptr;
  if (!load_image_file(settings, file, image, report)) {
    error_flag = true;
  } else {
    summary.size = static_cast<uint32_t>(image.size());
    summary.sha256 = sha256_hex(image);
    port_control(port, port_line_action::clear_rts);
    port_control(port, port_line_action::set_dtr);
    port_control(port, port_line_action::clear_dtr);
    sleep_ms(line_settle_ms);
    // No input is discarded here: a byte the target sends after the line
    // sequence is taken as its answer to the start byte.
    if (!device_init(port, report)) error_flag = true;
    warn_about_line_rate(port, rate, report);
    if (settings.write) write_phase(port, settings.address, image, error_flag, report);
    if (settings.verify) verify_phase(port, settings.address, image, error_flag, report);
  }

  port_control(port, port_line_action::set_rts);
  port_control(port, port_line_action::set_dtr);
  port_control(port, port_line_action::clear_dtr);
  port_close(port);
  if (file != nullptr) std::fclose(file);
  image = {};  // released last, after the port and the file
  return finish(error_flag, settings, summary, started);
}
