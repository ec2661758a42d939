// Implements every function of the serial layer over fuzzer bytes.
#include "fake_serial_port.h"

#include <algorithm>
#include <string>

struct serial_port {
  const uint8_t* answers;
  std::size_t size;
  std::size_t used;
};

namespace {

std::vector<fake_event> transcript;

}  // namespace

port_handle fake_port_open(const uint8_t* answers, std::size_t size) {
  transcript.clear();
  return new serial_port{answers, size, 0};
}

const std::vector<fake_event>& fake_transcript() { return transcript; }

std::string port_device_name(const std::string& name) { return name; }

// Only fake_port_open makes a port: no name opens anything here.
port_handle port_open(const std::string&, port_open_error*) { return nullptr; }

bool port_set_line(port_handle port, int32_t baud) { return port != nullptr && baud > 0; }

bool port_control(port_handle port, port_line_action) { return port != nullptr; }

bool port_write(port_handle port, const uint8_t* bytes, std::size_t n) {
  if (port == nullptr) return false;
  transcript.push_back({fake_event::write, 0, std::vector<uint8_t>(bytes, bytes + n), 0});
  return true;
}

std::size_t port_read(port_handle port, uint8_t* buffer, std::size_t n) {
  if (port == nullptr || n == 0) return 0;
  std::size_t count = 0;
  if (port->used < port->size) {
    const uint8_t say = port->answers[port->used++];
    count = std::min({say == 0xFF ? n : std::size_t{say}, n, port->size - port->used});
  }
  std::copy_n(port->answers + port->used, count, buffer);
  port->used += count;
  transcript.push_back({fake_event::read, n, std::vector<uint8_t>(buffer, buffer + count), 0});
  return count;
}

void port_close(port_handle port) { delete port; }

void sleep_ms(unsigned milliseconds) { transcript.push_back({fake_event::sleep, 0, {}, milliseconds}); }

void catch_stop_requests() {}

int stop_exit_status() { return 0; }
