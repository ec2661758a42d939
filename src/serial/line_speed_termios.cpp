// POSIX systems other than Linux: their speed_t values are the rates
// themselves, so any rate the driver supports can be asked for.
#include "serial/line_speed.h"

#include <termios.h>

bool set_line_speed_8n1(int fd, uint32_t baud) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
  t.c_cflag |= CS8;
  if (cfsetspeed(&t, static_cast<speed_t>(baud)) != 0) return false;
  return tcsetattr(fd, TCSANOW, &t) == 0;
}
