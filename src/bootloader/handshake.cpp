// The acknowledge rule and the start handshake.
#include <cstdio>
#include <vector>

#include "bootloader/answer_diagnosis.h"
#include "bootloader/bootloader.h"
#include "stop/stop_requests.h"

bool wait_ack(port_handle port, int tries, exchange_failure* why) {
  exchange_failure failure;
  failure.kind = exchange_failure::silent;
  failure.waited_ms =
      static_cast<unsigned>(tries > 0 ? tries * (port_read_bound_ms(1) + empty_ack_pause_ms) : 0);
  for (int i = 0; i < tries && !stop_requested(); ++i) {
    uint8_t byte = 0;
    // The first byte received decides; a wrong one ends the wait at once.
    if (port_read(port, &byte, 1) == 1) {
      if (byte == ack_byte) return true;
      failure = {exchange_failure::refused, byte};
      break;
    }
    // An unplugged adapter will never answer: no use waiting out the tries.
    if (port_gone(port)) {
      failure = {exchange_failure::gone};
      break;
    }
    sleep_ms(empty_ack_pause_ms);
  }
  if (stop_requested()) failure = {exchange_failure::stopped};
  if (why != nullptr) *why = failure;
  return false;
}

bool send_bytes(port_handle port, const uint8_t* bytes, std::size_t n, exchange_failure& why) {
  const port_result sent = port_write(port, bytes, n);
  if (sent.ok) return true;
  if (port_gone(port)) {
    why = {exchange_failure::gone};
  } else {
    why = {.kind = exchange_failure::write_failed, .error = sent.error};
  }
  return false;
}

bool stop_before_exchange(exchange_failure& why) {
  if (!stop_requested()) return false;
  why = {exchange_failure::stopped};
  return true;
}

std::string failure_reason(const exchange_failure& why, const std::string& step) {
  char text[160];
  switch (why.kind) {
    case exchange_failure::refused:
      std::snprintf(text, sizeof text, "the target refused %s (answered 0x%02x)", step.c_str(),
                    why.byte);
      return text;
    case exchange_failure::silent:
      std::snprintf(text, sizeof text, "no answer to %s within %g s", step.c_str(),
                    why.waited_ms / 1000.0);
      return text;
    case exchange_failure::short_data:
      std::snprintf(text, sizeof text, "only %zu of %zu bytes arrived for %s", why.got,
                    why.expected, step.c_str());
      return text;
    case exchange_failure::write_failed:
      // The port said no: the fault is on this side of the cable.
      return "writing " + step + " to the port failed: " + why.error;
    case exchange_failure::gone:
      return "the serial adapter was disconnected";
    case exchange_failure::stopped:
      return stop_reason();
    case exchange_failure::none:
      break;
  }
  return {};
}

bool device_connect(port_handle port, int attempts, const board_entry& enter,
                    const event_sink& report) {
  for (int attempt = 1;; ++attempt) {
    std::string entry_failure;
    const bool entered = !enter || enter(entry_failure);
    // "initializing device.." once, as the first start byte goes out; the
    // attempts after it share its line.
    if (attempt == 1) report(handshake_begun{});
    if (!entered) {
      // The board was not put into its boot loader: no start byte is sent.
      report(handshake_ended{
          .ok = false, .reason = entry_failure, .attempt = attempt, .attempts = attempts});
      return false;
    }
    exchange_failure why;
    if (!stop_before_exchange(why) && send_bytes(port, &start_byte, 1, why) &&
        wait_ack(port, ack_tries, &why)) {
      report(handshake_ended{.ok = true, .attempt = attempt, .attempts = attempts});
      return true;
    }
    // What follows a wrong byte tells an echo, an application and noise apart.
    std::vector<uint8_t> after;
    if (why.kind == exchange_failure::refused) after = listen_after_answer(port);
    const bool board_may_answer =
        why.kind == exchange_failure::refused || why.kind == exchange_failure::silent;
    if (attempt >= attempts || !board_may_answer || stop_requested()) {
      report(handshake_ended{
          .ok = false,
          .reason = diagnose_start_answer(why, after, start_byte, attempt, attempts),
          .attempt = attempt,
          .attempts = attempts});
      return false;
    }
    report(handshake_attempt_failed{
        .attempt = attempt,
        .attempts = attempts,
        .reason = diagnose_start_answer(why, after, start_byte, 1, attempts)});
    // A board that ran its application may have printed meanwhile.
    port_discard_input(port);
  }
}

bool device_init(port_handle port, const event_sink& report) {
  return device_connect(port, 1, nullptr, report);
}
