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

namespace {

// Where speed_t values are codes rather than rates (glibc, which this file
// is also built with for testing), the codes of the rates termios names.
struct speed_code {
  speed_t code;
  uint32_t rate;
};
constexpr speed_code speed_codes[] = {
    {B50, 50},       {B75, 75},         {B110, 110},       {B134, 134},     {B150, 150},
    {B200, 200},     {B300, 300},       {B600, 600},       {B1200, 1200},   {B1800, 1800},
    {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200}, {B38400, 38400},
    {B57600, 57600}, {B115200, 115200}, {B230400, 230400},
};

}  // namespace

uint32_t line_speed(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return 0;
  const speed_t code = cfgetospeed(&t);
  for (const speed_code& known : speed_codes) {
    if (known.code == code) return known.rate;
  }
  return static_cast<uint32_t>(code);
}

bool set_read_minimum(int fd, uint8_t count) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  if (t.c_cc[VMIN] == count) return true;
  t.c_cc[VMIN] = count;
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

void forget_line_settings() {}

// Only Linux has a portable question for it (TIOCSERGETLSR).
std::optional<bool> transmitter_empty(int) { return std::nullopt; }
