#include "bootloader/answer_diagnosis.h"

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <vector>

#include "text/visible_text.h"

namespace {

constexpr std::size_t reason_line_most = 100;
// Fewer visible characters than this is no message: one stray printable
// byte is as likely noise at a wrong baud rate.
constexpr std::size_t least_text_characters = 2;
constexpr std::size_t bytes_shown_in_hex = 4;
// A read of this many bytes waits at most 20 * 4 + 20 ms, and ends once
// the line has been quiet for 100 ms: the quiet that ends the listening
// after a wrong answer.
constexpr std::size_t quiet_read_bytes = 4;
static_assert(port_read_bound_ms(quiet_read_bytes) == 100);

// Printable ASCII with its line ends and tabs, as an application prints.
bool is_text(std::span<const uint8_t> bytes) {
  std::size_t visible = 0;
  for (uint8_t byte : bytes) {
    if (byte > 0x20 && byte < 0x7f) {
      ++visible;
    } else if (byte != ' ' && byte != '\r' && byte != '\n' && byte != '\t') {
      return false;
    }
  }
  return visible >= least_text_characters;
}

std::string in_hex(std::span<const uint8_t> bytes) {
  std::string text;
  for (std::size_t i = 0; i < bytes.size() && i < bytes_shown_in_hex; ++i) {
    char hex[6];
    std::snprintf(hex, sizeof hex, "%s0x%02x", i == 0 ? "" : " ", bytes[i]);
    text += hex;
  }
  if (bytes.size() > bytes_shown_in_hex) text += " ...";
  return text;
}

}  // namespace

std::vector<uint8_t> listen_after_answer(port_handle port) {
  std::vector<uint8_t> heard;
  while (heard.size() < answer_listen_bytes) {
    uint8_t piece[quiet_read_bytes];
    const std::size_t asked = std::min(sizeof piece, answer_listen_bytes - heard.size());
    const std::size_t got = port_read(port, piece, asked);
    heard.insert(heard.end(), piece, piece + got);
    // A read that comes back short ended on 100 ms of quiet line, or found
    // fewer bytes in 100 ms than a board that has something to say sends.
    if (got < asked) break;
  }
  return heard;
}

std::string diagnose_start_answer(const exchange_failure& why, std::span<const uint8_t> after,
                                  uint8_t sent, int tried, int allowed) {
  if (why.kind != exchange_failure::refused && why.kind != exchange_failure::silent)
    return failure_reason(why, "the start byte");
  std::vector<uint8_t> got(after.begin(), after.end());
  if (why.kind == exchange_failure::refused) got.insert(got.begin(), why.byte);

  const std::string count = tried > 1 ? "tried " + std::to_string(tried) + " times: " : "";
  char text[reason_line_most + 1];
  // Another attempt is the cure only for a run that made one.
  const std::string ways_in =
      std::string("see --enter") + (allowed > 1 ? "" : ", --connect-attempts");
  if (got.empty()) {
    return count + failure_reason(why, "the start byte") + ": board wired otherwise? " + ways_in;
  }
  if (got[0] == sent) {
    std::snprintf(
        text, sizeof text,
        "the start byte 0x%02x came back: an echo (tx looped to rx, or an echoing adapter)", sent);
    return count + text;
  }
  if (is_text(got)) {
    // The lines did not put it into its boot loader: the same way out.
    const std::string lead = count + "the board runs its application, not its boot loader: \"";
    const std::string tail = "\"; " + ways_in;
    return lead + printable_ascii(got, reason_line_most - lead.size() - tail.size()) + tail;
  }
  if (got.size() == 1) {
    std::snprintf(text, sizeof text,
                  "the target refused the start byte (answered 0x%02x): wrong baud rate or wiring?",
                  got[0]);
  } else {
    std::snprintf(text, sizeof text,
                  "the target answered %zu bytes (%s): wrong baud rate or wiring?", got.size(),
                  in_hex(got).c_str());
  }
  return count + text;
}
