// The acknowledge rule and the start handshake.
#include <cstdio>

#include "bootloader/bootloader.h"

bool wait_ack(port_handle port, int tries, exchange_failure* why) {
  exchange_failure failure;
  failure.kind = exchange_failure::silent;
  failure.waited_ms =
      static_cast<unsigned>(tries > 0 ? tries * (port_read_bound_ms(1) + empty_ack_pause_ms) : 0);
  for (int i = 0; i < tries && !run_stopped(); ++i) {
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
  if (run_stopped()) failure = {exchange_failure::stopped};
  if (why != nullptr) *why = failure;
  return false;
}

std::string stop_reason() {
  switch (stop_exit_status() - 128) {
    case 1:
      return "stopped by SIGHUP (the terminal closed)";
    case 2:
      return "stopped by SIGINT (Ctrl-C)";
    case 15:
      return "stopped by SIGTERM";
    case 21:
      return "stopped by Ctrl-Break";
    default:
      return "stopped by signal " + std::to_string(stop_exit_status() - 128);
  }
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
  report({.kind = event_kind::begun, .phase = run_phase::handshake});
  exchange_failure why;
  if (!run_stopped()) port_write(port, &start_byte, 1);
  const bool ok = wait_ack(port, ack_tries, &why);
  std::string reason;
  if (!ok) {
    reason = failure_reason(why, "the start byte");
    // Silence here is nearly always a board that is not waiting in its boot
    // loader: the operator needs to know where to look.
    if (why.kind == exchange_failure::silent) {
      reason += ": is the board in boot-loader mode, reset wired to RTS/DTR?";
    }
  }
  report({.kind = event_kind::ended, .phase = run_phase::handshake, .ok = ok, .reason = reason});
  return ok;
}
