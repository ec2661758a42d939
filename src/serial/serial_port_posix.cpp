// POSIX backend of the serial layer (Linux, macOS).
#include "serial/serial_port.h"

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "serial/line_speed.h"
#include "serial/port_common.h"

struct serial_port {
  int fd;
};

namespace {

using clock_type = std::chrono::steady_clock;
using std::chrono::milliseconds;

int ms_until(clock_type::time_point deadline) {
  auto left = std::chrono::duration_cast<milliseconds>(deadline - clock_type::now()).count();
  // Round up so a poll never returns a hair before the deadline and loops.
  return left < 0 ? 0 : static_cast<int>(left) + 1;
}

// Waits until fd is ready for `events` or the deadline passes. Returns the
// revents, 0 on time-out, -1 on error.
int wait_ready(int fd, short events, clock_type::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    int rc = poll(&p, 1, ms_until(deadline));
    if (rc > 0) return p.revents;
    if (rc == 0) {
      if (clock_type::now() >= deadline) return 0;
      continue;
    }
    if (errno != EINTR) return -1;
  }
}

// Every byte passes unaltered: no echo, no line editing, no translation, no
// software flow control (0x11 and 0x13 are protocol bytes), and no hardware
// flow control (RTS is one of the tool's control lines, not a handshake).
// Speed and framing are left to port_set_line.
void make_raw(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return;
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                       IXON | IXOFF | IXANY);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
  t.c_cflag |= CREAD | CLOCAL;
  // With O_NONBLOCK, VMIN 1 makes an empty read say EAGAIN, so a read of 0
  // bytes can only mean the line hung up.
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &t);
}

}  // namespace

std::string port_device_name(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  if (auto number = com_port_number(name)) return "/dev/ttyS" + std::to_string(*number - 1);
  return "/dev/" + name;
}

port_handle port_open(const std::string& name) {
  if (name.empty() || name.size() > port_name_max) return nullptr;
  const std::string device = port_device_name(name);
  // O_NONBLOCK: never wait for carrier; all waiting is done by poll under the
  // read and write time-outs.
  int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  // Refuse anything but a terminal device (a regular file, a directory,
  // /dev/null) before a single byte is written to it.
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || !isatty(fd)) {
    close(fd);
    return nullptr;
  }
  make_raw(fd);
  port_handle port = new serial_port{fd};
  drain_input(port);
  return port;
}

bool port_set_line(port_handle port, int32_t baud) {
  if (port == nullptr || baud <= 0) return false;
  return set_line_speed_8n1(port->fd, static_cast<uint32_t>(baud));
}

bool port_control(port_handle port, port_line_action code) {
  if (port == nullptr) return false;
  int line = (code == SETRTS || code == CLRRTS) ? TIOCM_RTS : TIOCM_DTR;
  unsigned long request = (code == SETRTS || code == SETDTR) ? TIOCMBIS : TIOCMBIC;
  return ioctl(port->fd, request, &line) == 0;
}

bool port_write(port_handle port, const uint8_t* bytes, std::size_t n) {
  if (port == nullptr) return false;
  const auto deadline =
      clock_type::now() + milliseconds(write_total_multiplier_ms * static_cast<int64_t>(n) +
                                       write_total_constant_ms);
  std::size_t done = 0;
  while (done < n) {
    ssize_t w = write(port->fd, bytes + done, n - done);
    if (w > 0) {
      done += static_cast<std::size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    int ready = wait_ready(port->fd, POLLOUT, deadline);
    if (ready <= 0 || (ready & (POLLERR | POLLHUP | POLLNVAL))) return false;
  }
  return true;
}

std::size_t port_read(port_handle port, uint8_t* buffer, std::size_t n) {
  if (port == nullptr || n == 0) return 0;
  const auto start = clock_type::now();
  const auto total_deadline =
      start + milliseconds(read_total_multiplier_ms * static_cast<int64_t>(n) +
                           read_total_constant_ms);
  std::size_t got = 0;
  auto deadline = total_deadline;
  for (;;) {
    // Poll first: when the caller reads, the answer is rarely there yet.
    int ready = wait_ready(port->fd, POLLIN, deadline);
    if (ready == 0) return got;
    if (ready < 0 || (ready & (POLLERR | POLLNVAL))) return 0;
    ssize_t r = read(port->fd, buffer + got, n - got);
    if (r > 0) {
      got += static_cast<std::size_t>(r);
      if (got == n) return got;
      // Once bytes flow, a gap of more than the interval ends the read.
      deadline = std::min(total_deadline, clock_type::now() + milliseconds(read_interval_ms));
      continue;
    }
    if (r < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    // End of file or a real error: the line is gone, as with an unplugged
    // adapter. It counts as nothing received.
    return 0;
  }
}

void port_close(port_handle port) {
  if (port == nullptr) return;
  close(port->fd);
  delete port;
}

void sleep_ms(unsigned milliseconds) {
  timespec ts{static_cast<time_t>(milliseconds / 1000),
              static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}
