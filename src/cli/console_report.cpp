#include "cli/console_report.h"

#include <cstdio>

namespace {

const char* const ok_tail = "\b\b - OK  \n";
const char* const error_tail = "\b\b - error\n";
const char* const percent_field_end = "\b\b\b\b";  // steps back over "100%"

std::string format(const char* format, unsigned long value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string reason_line(const run_event& event) {
  return event.reason.empty() ? std::string() : "  " + event.reason + "\n";
}

std::string percent_field(uint32_t done, uint32_t total) {
  // 64-bit product: done * 100 overflows 32 bits from about 43 MB on.
  const unsigned percent = total == 0 ? 100u : static_cast<unsigned>(uint64_t{done} * 100 / total);
  return format("\b\b\b\b%3lu%%", percent);
}

// The console line of a failure before the target was reached.
std::string front_end_line(const run_event& event) {
  const char* subject = event.subject.c_str();
  char text[600];
  switch (event.failure) {
    case front_end_failure::cannot_open_port:
      std::snprintf(text, sizeof text, "error: cannot open port %s\n", subject);
      break;
    case front_end_failure::cannot_open_file:
      std::snprintf(text, sizeof text, "cannot open file %s..\n", subject);
      break;
    case front_end_failure::cannot_read_file:
      std::snprintf(text, sizeof text, "cannot read file %s..\n", subject);
      break;
    case front_end_failure::image_does_not_fit:
      std::snprintf(text, sizeof text, "image of %lu bytes does not fit at 0x%08lx..\n",
                    static_cast<unsigned long>(event.size),
                    static_cast<unsigned long>(event.address));
      break;
    case front_end_failure::cannot_allocate:
      std::snprintf(text, sizeof text, "cannot allocate %lu bytes..\n",
                    static_cast<unsigned long>(event.size));
      break;
    case front_end_failure::none:
      return {};
  }
  return text;
}

bool is_transfer(run_phase phase) {
  return phase == run_phase::write || phase == run_phase::verify;
}

}  // namespace

std::string console_text(const run_event& event) {
  switch (event.kind) {
    case event_kind::begun:
      if (event.phase == run_phase::handshake) return "initializing device..";
      return format(
                 event.phase == run_phase::write ? "writting %lu bytes.." : "reading %lu bytes..",
                 event.size) +
             "  0%";
    case event_kind::progress:
      return percent_field(event.done, event.size);
    case event_kind::ended:
      if (event.failure != front_end_failure::none)
        return front_end_line(event) + reason_line(event);
      return (is_transfer(event.phase) ? percent_field_end : "") +
             std::string(event.ok ? ok_tail : error_tail) + reason_line(event);
    case event_kind::compared:
    case event_kind::warning:
      return reason_line(event);
  }
  return {};
}

std::string console_final_line(bool error_flag) {
  return error_flag ? format("done with %lu error(s)..\n\n", 1) : "done without errors..\n\n";
}

void console_write(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

event_sink console_sink() {
  return [](const run_event& event) { console_write(console_text(event)); };
}
