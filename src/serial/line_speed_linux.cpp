// Linux: termios2 with BOTHER takes any rate, standard or not.
#include "serial/line_speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

bool set_line_speed_8n1(int fd, uint32_t baud) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT) | CSIZE | PARENB | CSTOPB);
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT) | CS8;
  t.c_ispeed = baud;
  t.c_ospeed = baud;
  return ioctl(fd, TCSETS2, &t) == 0;
}

uint32_t line_speed(int fd) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return 0;
  return t.c_ospeed;
}
