// Implements every function of the serial layer over a script of answers or
// the simulator's target, on a clock of its own.
#include "support/fake_serial_port.h"

#include <algorithm>
#include <deque>

#include "line_pacer.h"
#include "serial/port_common.h"
#include "stop/stop_requests.h"
#include "target.h"

struct serial_port {
  const uint8_t* answers = nullptr;  // script mode
  std::size_t size = 0;
  std::size_t used = 0;
  target* sim = nullptr;          // target mode
  std::deque<emission> incoming;  // answers on their way, in time order
  line_pacer line;                // bytes take no time, pauses do
};

namespace {

constexpr int64_t ms_ns = 1'000'000;

// The tool has one port open at a time: one transcript and one clock.
std::vector<fake_event> transcript;
int64_t now_ns = 0;
std::string connected_name;
target* connected = nullptr;

port_handle start_line(serial_port* port) {
  transcript.clear();
  now_ns = 0;
  return port;
}

void note(fake_event::kind_type kind, std::size_t asked = 0, std::vector<uint8_t> bytes = {},
          unsigned ms = 0, port_line_action action = {}) {
  transcript.push_back({kind, now_ns, asked, std::move(bytes), ms, action});
}

// Answers are queued as the target makes them, bytes taking no time on this
// line but the pauses the target asks for; what it logs is of no use here.
void take_answers(serial_port& port) {
  for (emission byte : port.sim->output) {
    byte.at_ns = pace_byte(port.line, byte.at_ns, byte.quiet_ns);
    port.incoming.push_back(byte);
  }
  port.sim->output.clear();
  port.sim->notes.clear();
}

bool line_gone_by(const serial_port& port, int64_t at_ns) {
  return port.sim->vanish_at_ns && *port.sim->vanish_at_ns <= at_ns;
}

std::size_t read_script(serial_port& port, uint8_t* buffer, std::size_t n) {
  std::size_t count = 0;
  if (port.used < port.size) {
    const uint8_t say = port.answers[port.used++];
    count = std::min({say == 0xFF ? n : std::size_t{say}, n, port.size - port.used});
  }
  std::copy_n(port.answers + port.used, count, buffer);
  port.used += count;
  return count;
}

// The read time-out rule of the real port, on the line's clock: n bytes, or
// 20 * n + 20 ms since the call, or more than 100 ms after the last byte. A
// line that hangs up meanwhile ends the read at once with nothing, as a
// vanished pty does.
std::size_t read_target(serial_port& port, uint8_t* buffer, std::size_t n) {
  const int64_t total_deadline =
      now_ns +
      (read_total_multiplier_ms * static_cast<int64_t>(n) + read_total_constant_ms) * ms_ns;
  int64_t deadline = total_deadline;
  std::size_t got = 0;
  for (;;) {
    const int64_t next =
        port.incoming.empty() ? INT64_MAX : std::max(now_ns, port.incoming.front().at_ns);
    if (line_gone_by(port, std::min(next, deadline))) {
      now_ns = std::max(now_ns, *port.sim->vanish_at_ns);
      return 0;
    }
    if (next > deadline) {
      now_ns = deadline;
      return got;
    }
    now_ns = next;
    buffer[got++] = port.incoming.front().byte;
    port.incoming.pop_front();
    if (got == n) return got;
    deadline = std::min(total_deadline, now_ns + read_interval_ms * ms_ns);
  }
}

}  // namespace

port_handle fake_port_open(const uint8_t* answers, std::size_t size) {
  auto* port = new serial_port;
  port->answers = answers;
  port->size = size;
  return start_line(port);
}

void fake_port_connect(const std::string& name, target& sim) {
  connected_name = name;
  connected = &sim;
}

const std::vector<fake_event>& fake_transcript() { return transcript; }

std::string port_device_name(const std::string& name) { return name; }

port_handle port_open(const std::string& name, port_open_error* error) {
  if (connected == nullptr || name != connected_name) {
    if (error != nullptr) error->cause = port_open_failure::no_such_device;
    return nullptr;
  }
  auto* port = new serial_port;
  port->sim = connected;
  return start_line(port);
}

bool port_set_line(port_handle port, line_rate) { return port != nullptr; }

uint32_t port_line_rate(port_handle port) { return port == nullptr ? 0 : 115200; }

// The target sees each line change at the line's clock, between the bytes
// written before it and those written after: on this line nothing is ever
// on its way.
port_result port_control(port_handle port, port_line_action code) {
  if (port == nullptr) return {.ok = false, .error = "no port is open"};
  note(fake_event::control, 0, {}, 0, code);
  if (port->sim == nullptr) return {};
  using enum port_line_action;
  const control_line line =
      code == set_rts || code == clear_rts ? control_line::rts : control_line::dtr;
  target_line_change(*port->sim, {line, code == set_rts || code == set_dtr}, now_ns);
  take_answers(*port);
  return {};
}

port_result port_write(port_handle port, const uint8_t* bytes, std::size_t n) {
  if (port == nullptr) return {.ok = false, .error = "no port is open"};
  note(fake_event::write, 0, std::vector<uint8_t>(bytes, bytes + n));
  if (port->sim == nullptr) return {};
  if (line_gone_by(*port, now_ns)) return {.ok = false, .error = "input/output error"};
  for (std::size_t i = 0; i < n; ++i) target_receive(*port->sim, bytes[i], now_ns);
  take_answers(*port);
  return {};
}

std::size_t port_read(port_handle port, uint8_t* buffer, std::size_t n) {
  if (port == nullptr || n == 0) return 0;
  const std::size_t count =
      port->sim ? read_target(*port, buffer, n) : read_script(*port, buffer, n);
  note(fake_event::read, n, std::vector<uint8_t>(buffer, buffer + count));
  return count;
}

// What has arrived by the line's clock goes; what is still on its way stays.
void port_discard_input(port_handle port) {
  if (port == nullptr) return;
  note(fake_event::discard);
  while (port->sim != nullptr && !port->incoming.empty() && port->incoming.front().at_ns <= now_ns)
    port->incoming.pop_front();
}

bool port_gone(port_handle port) {
  return port != nullptr && port->sim != nullptr && line_gone_by(*port, now_ns);
}

void port_close(port_handle port) {
  if (port == nullptr) return;
  if (port->sim != nullptr) target_hang_up(*port->sim);
  delete port;
}

// Stands in for the pause of stop/stop_requests.h: it moves the line's clock.
void sleep_ms(unsigned milliseconds) {
  now_ns += int64_t{milliseconds} * ms_ns;
  note(fake_event::sleep, 0, {}, milliseconds);
}
