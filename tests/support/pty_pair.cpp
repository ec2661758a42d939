#include "support/pty_pair.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

pty_pair open_pty_pair() {
  int master = -1;
  int slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    throw std::runtime_error("openpty failed");
  }
  termios t{};
  tcgetattr(slave, &t);
  cfmakeraw(&t);
  tcsetattr(slave, TCSANOW, &t);
  pty_pair pty{master, ttyname(slave)};
  close(slave);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  return pty;
}

void close_pty_pair(pty_pair& pty) {
  if (pty.master >= 0) close(pty.master);
  pty.master = -1;
}

void send_bytes(const pty_pair& pty, const std::vector<uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t w = write(pty.master, bytes.data() + done, bytes.size() - done);
    if (w > 0) {
      done += static_cast<std::size_t>(w);
    } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
      throw std::runtime_error("write to pty master failed");
    } else {
      pollfd p{pty.master, POLLOUT, 0};
      poll(&p, 1, 10);
    }
  }
}

std::thread send_later(const pty_pair& pty, std::vector<uint8_t> bytes,
                       std::chrono::milliseconds delay) {
  return std::thread([&pty, bytes = std::move(bytes), delay] {
    std::this_thread::sleep_for(delay);
    send_bytes(pty, bytes);
  });
}

std::vector<uint8_t> received_bytes(const pty_pair& pty) {
  std::vector<uint8_t> out;
  uint8_t chunk[4096];
  for (;;) {
    ssize_t r = read(pty.master, chunk, sizeof chunk);
    if (r <= 0) break;
    out.insert(out.end(), chunk, chunk + r);
  }
  return out;
}

std::vector<uint8_t> receive_bytes(const pty_pair& pty, std::size_t count, double timeout_s) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<uint8_t> out = received_bytes(pty);
  while (out.size() < count && seconds_since(start) < timeout_s) {
    pollfd p{pty.master, POLLIN, 0};
    poll(&p, 1, 10);
    const std::vector<uint8_t> more = received_bytes(pty);
    out.insert(out.end(), more.begin(), more.end());
  }
  return out;
}

bool line_rate_settable(uint32_t rate) {
  termios t{};
  return VEXLOR_ANY_LINE_RATE || cfsetspeed(&t, static_cast<speed_t>(rate)) == 0;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
