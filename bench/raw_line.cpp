#include "raw_line.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "bootloader/bootloader.h"

double monotonic_s()
{
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

int raw_open(const std::string& path)
{
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

bool raw_write(int fd, const uint8_t* bytes, std::size_t n)
{
  std::size_t done = 0;
  while (done < n) {
    const ssize_t w = write(fd, bytes + done, n - done);
    if (w > 0) {
      done += static_cast<std::size_t>(w);
    } else if (w < 0 && errno != EINTR) {
      return false;
    }
  }
  return true;
}

bool raw_read(int fd, uint8_t* buffer, std::size_t n, double timeout_s)
{
  const double deadline = monotonic_s() + timeout_s;
  std::size_t got = 0;
  while (got < n) {
    const double left = deadline - monotonic_s();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(left * 1000) + 1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || (p.revents & (POLLERR | POLLNVAL))) return false;
    const ssize_t r = read(fd, buffer + got, n - got);
    if (r > 0) {
      got += static_cast<std::size_t>(r);
    } else if (r == 0 || (errno != EINTR && errno != EAGAIN)) {
      return false;
    }
  }
  return true;
}

bool raw_handshake(int fd)
{
  uint8_t answer = 0;
  return raw_write(fd, &start_byte, 1) && raw_read(fd, &answer, 1, 2.0) && answer == ack_byte;
}
