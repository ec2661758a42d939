#include "support/pty_pair.h"

#include <termios.h>

#include <stdexcept>
#include <string>

#include "support/raw_line.h"

pty_link open_pty_pair() {
  pty_link pty;
  std::string error;
  if (!pty_create(pty, error)) throw std::runtime_error(error);
  return pty;
}

void send_bytes(int fd, const std::vector<uint8_t>& bytes) {
  if (!raw_write(fd, bytes.data(), bytes.size())) throw std::runtime_error("write to pty failed");
}

std::thread send_later(int fd, std::vector<uint8_t> bytes, std::chrono::milliseconds delay) {
  return std::thread([fd, bytes = std::move(bytes), delay] {
    std::this_thread::sleep_for(delay);
    send_bytes(fd, bytes);
  });
}

std::vector<uint8_t> receive_bytes(int fd, std::size_t count, double timeout_s) {
  std::vector<uint8_t> bytes(count);
  bytes.resize(raw_read(fd, bytes.data(), count, timeout_s));
  return bytes;
}

bool line_rate_settable(uint32_t rate) {
  termios t{};
  return VEXLOR_ANY_LINE_RATE || cfsetspeed(&t, static_cast<speed_t>(rate)) == 0;
}
