// The acknowledge rule and the start handshake.
#include <cstdio>

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

bool device_init(port_handle port, const event_sink& report) {
  report(handshake_begun{});
  exchange_failure why;
  const bool ok = !stop_before_exchange(why) && send_bytes(port, &start_byte, 1, why) &&
                  wait_ack(port, ack_tries, &why);
  std::string reason;
  if (!ok) {
    reason = failure_reason(why, "the start byte");
    // Silence here is nearly always a board that is not waiting in its boot
    // loader: the operator needs to know where to look.
    if (why.kind == exchange_failure::silent) {
      reason += ": is the board in boot-loader mode, reset wired to RTS/DTR?";
    }
  }
  report(handshake_ended{.ok = ok, .reason = reason});
  return ok;
}
