#include "support/raw_line.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "protocol/protocol.h"
#include "support/timing.h"

int raw_open(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  termios mode{};
  if (tcgetattr(fd, &mode) != 0) {
    close(fd);
    return -1;
  }
  cfmakeraw(&mode);
  mode.c_cc[VMIN] = 1;
  mode.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &mode);
  return fd;
}

bool raw_write(int fd, const uint8_t* bytes, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t w = write(fd, bytes + done, n - done);
    if (w > 0) {
      done += static_cast<std::size_t>(w);
    } else if (w < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, 10);
    } else if (w < 0 && errno != EINTR) {
      return false;
    }
  }
  return true;
}

std::size_t raw_read(int fd, uint8_t* buffer, std::size_t n, double timeout_s) {
  const auto give_up = deadline_in(timeout_s);
  std::size_t got = 0;
  while (got < n) {
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, poll_ms_until(give_up));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || (p.revents & (POLLERR | POLLNVAL))) break;
    const ssize_t r = read(fd, buffer + got, n - got);
    if (r > 0) {
      got += static_cast<std::size_t>(r);
    } else if (r == 0 || (errno != EINTR && errno != EAGAIN)) {
      break;
    }
  }
  return got;
}

bool raw_handshake(int fd) {
  uint8_t answer = 0;
  return raw_write(fd, &start_byte, 1) && raw_read(fd, &answer, 1, 2.0) == 1 && answer == ack_byte;
}
