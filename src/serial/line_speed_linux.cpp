// Linux: termios2 with BOTHER takes any rate, standard or not.
#include "serial/line_speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace {

// The settings last read or set, so that the read minimum changes with one
// call: it changes twice for every block read. A process has one port open.
struct termios2 known_settings {};
int known_fd = -1;

}  // namespace

bool set_line_speed_8n1(int fd, uint32_t baud) {
  struct termios2 t {};
  known_fd = -1;
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT) | CSIZE | PARENB | CSTOPB);
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT) | CS8;
  t.c_ispeed = baud;
  t.c_ospeed = baud;
  return ioctl(fd, TCSETS2, &t) == 0;
}

bool set_read_minimum(int fd, uint8_t count) {
  if (known_fd != fd) {
    if (ioctl(fd, TCGETS2, &known_settings) != 0) return false;
    known_fd = fd;
  }
  if (known_settings.c_cc[VMIN] == count) return true;
  known_settings.c_cc[VMIN] = count;
  if (ioctl(fd, TCSETS2, &known_settings) == 0) return true;
  known_fd = -1;
  return false;
}

void forget_line_settings() { known_fd = -1; }

uint32_t line_speed(int fd) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return 0;
  return t.c_ospeed;
}

std::optional<bool> transmitter_empty(int fd) {
  unsigned int status = 0;
  if (ioctl(fd, TIOCSERGETLSR, &status) != 0) return std::nullopt;
  return (status & TIOCSER_TEMT) != 0;
}
