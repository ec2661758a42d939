// Linux: the driver's serial settings carry a low-latency flag; USB adapters
// answer it by setting their latency timer to 1 ms, and back at close.
#include "serial/low_latency.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

bool low_latency_on(int fd) {
  serial_struct settings{};
  if (ioctl(fd, TIOCGSERIAL, &settings) != 0 || (settings.flags & ASYNC_LOW_LATENCY) != 0) {
    return false;
  }
  settings.flags |= ASYNC_LOW_LATENCY;
  return ioctl(fd, TIOCSSERIAL, &settings) == 0;
}

void low_latency_off(int fd) {
  serial_struct settings{};
  if (ioctl(fd, TIOCGSERIAL, &settings) != 0) return;
  settings.flags &= ~ASYNC_LOW_LATENCY;
  ioctl(fd, TIOCSSERIAL, &settings);
}
