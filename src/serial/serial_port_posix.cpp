// POSIX backend of the serial layer (Linux, macOS).
#include "serial/serial_port.h"

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "serial/line_speed.h"
#include "serial/low_latency.h"
#include "serial/port_common.h"
#include "serial/serial_ports.h"
#include "stop/stop_requests.h"
#include "stop/stop_wait_posix.h"
#include "text/system_words.h"

struct serial_port {
  int fd;
  bool low_latency_set;  // by us, so it is put back at close
  bool gone = false;     // the line went away: an unplugged adapter
  bool unsent = false;   // bytes were written since the transmitter was last seen empty
};

namespace {

using clock_type = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Someone's terminal given as the port, whose settings go back when it
// closes, or when a second stop request ends the process: plain data, for
// a signal handler to read.
struct found_settings {
  int fd = -1;
  termios settings{};
};
found_settings dying_port;

void put_back_found_settings() {
  if (dying_port.fd >= 0) tcsetattr(dying_port.fd, TCSANOW, &dying_port.settings);
}

int ms_until(clock_type::time_point deadline) {
  auto left = std::chrono::duration_cast<milliseconds>(deadline - clock_type::now()).count();
  // Round up so a poll never returns a hair before the deadline and loops.
  return left < 0 ? 0 : static_cast<int>(left) + 1;
}

// Waits until fd is ready for `events` or the deadline passes; with
// `stoppable`, also until a stop is requested, which counts as the deadline.
// Returns the revents, 0 on time-out, -1 on error.
int wait_ready(int fd, short events, clock_type::time_point deadline, bool stoppable) {
  for (;;) {
    pollfd p[2] = {{fd, events, 0}, {stoppable ? stop_wait_descriptor() : -1, POLLIN, 0}};
    int rc = poll(p, 2, ms_until(deadline));
    if (rc > 0 && p[1].revents != 0) return 0;
    if (rc > 0) return p[0].revents;
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
void make_raw(int fd, const termios& found) {
  termios t = found;
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

namespace {

port_handle refuse_errno(port_open_error* error, int number, const std::string& device) {
  switch (number) {
    case ENOENT:
    case ENOTDIR:
    case ENXIO:
    case ENODEV:
      return port_refused(error, port_open_failure::no_such_device);
    case EACCES:
    case EPERM:
      return port_refused(error, port_open_failure::permission_denied);
    case EBUSY:
      return port_refused(error, port_open_failure::in_use, port_holder(device));
    case EISDIR:
      return port_refused(error, port_open_failure::not_serial);
    default:
      return port_refused(error, port_open_failure::other, system_words(number));
  }
}

}  // namespace

port_handle port_open(const std::string& name, port_open_error* error) {
  const std::optional<std::string> device = device_to_open(name, error);
  if (!device) return nullptr;
  // O_NONBLOCK: never wait for carrier; all waiting is done by poll under the
  // read and write time-outs.
  int fd = open(device->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return refuse_errno(error, errno, *device);
  // Refuse anything but a terminal device (a regular file, a directory,
  // /dev/null) before a single byte is written to it.
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || !isatty(fd)) {
    close(fd);
    return port_refused(error, port_open_failure::not_serial);
  }
  // Two programs on one line would interleave their bytes and leave the
  // flash mixed. The lock comes before any setting or byte, so a second run
  // leaves the first one's line alone. Exclusive mode then keeps every other
  // open out while the run lasts: on Linux each open of a tty raises DTR and
  // RTS, which on many boards is a reset in the middle of the flash.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    close(fd);
    return port_refused(error, port_open_failure::in_use, port_holder(*device));
  }
  ioctl(fd, TIOCEXCL);
  port_handle port = new serial_port{fd, low_latency_on(fd)};
  termios found{};
  if (tcgetattr(fd, &found) == 0) {
    // A terminal someone works at (the controlling terminal of a session:
    // --port /dev/tty, a slip of the fingers) must not be left without echo
    // and Ctrl-C, not even when a second Ctrl-C ends the run at once. A
    // serial port is left raw: its echo put back would send the board's
    // late bytes back to it, and the next run's open would find them.
    if (tcgetsid(fd) != -1) {
      dying_port = {fd, found};
      stop_before_dying(put_back_found_settings);
    }
    make_raw(fd, found);
  }
  forget_line_settings();
  drain_input(port);
  return port;
}

bool port_set_line(port_handle port, line_rate rate) {
  if (port == nullptr) return false;
  return set_line_speed_8n1(port->fd, rate.bits_per_second);
}

uint32_t port_line_rate(port_handle port) { return port == nullptr ? 0 : line_speed(port->fd); }

namespace {

// A write returns once the driver has the bytes, which may still be on
// their way out: in its buffer, in a UART's transmit FIFO, in a USB
// adapter. A line change would overtake them (a reset in the middle of the
// last block). Waits, within the time a write of them has, until the
// transmitter says it is empty (the UART drivers and many USB adapters
// tell); where the driver cannot tell, until its buffer is empty and then
// for a 16-byte FIFO's time on the line.
// A pause that no stop request cuts short: the closing sequence must wait
// for the bytes before it all the same.
void pause_ms(int milliseconds) {
  pollfd none{-1, 0, 0};
  poll(&none, 1, milliseconds);
}

void wait_output_sent(int fd) {
  constexpr int uart_fifo_bytes = 16;
  int queued = 0;
  if (ioctl(fd, TIOCOUTQ, &queued) != 0) queued = 0;
  const auto deadline = clock_type::now() +
                        milliseconds(write_total_multiplier_ms * int64_t{queued + uart_fifo_bytes} +
                                     write_total_constant_ms);
  while (queued > 0 && clock_type::now() < deadline) {
    pause_ms(1);
    if (ioctl(fd, TIOCOUTQ, &queued) != 0) break;
  }
  if (std::optional<bool> empty = transmitter_empty(fd)) {
    while (empty == false && clock_type::now() < deadline) {
      pause_ms(1);
      empty = transmitter_empty(fd);
    }
    return;
  }
  if (const uint32_t rate = line_speed(fd); rate > 0) {
    constexpr uint64_t fifo_bits = uart_fifo_bytes * 10;
    pause_ms(static_cast<int>(fifo_bits * 1000 / rate + 1));
  }
}

}  // namespace

port_result port_control(port_handle port, port_line_action code) {
  if (port == nullptr) return {.ok = false, .error = "no port is open"};
  if (port->unsent) wait_output_sent(port->fd);
  port->unsent = false;
  using enum port_line_action;
  int line = (code == set_rts || code == clear_rts) ? TIOCM_RTS : TIOCM_DTR;
  unsigned long request = (code == set_rts || code == set_dtr) ? TIOCMBIS : TIOCMBIC;
  if (ioctl(port->fd, request, &line) == 0) return {};
  const int number = errno;
  // A pseudo-terminal, and some virtual ports, have no modem lines at all.
  return {.ok = false,
          .unsupported = number == ENOTTY || number == EINVAL,
          .error = system_words(number)};
}

port_result port_write(port_handle port, const uint8_t* bytes, std::size_t n) {
  if (port == nullptr) return {.ok = false, .error = "no port is open"};
  const uint64_t bound_ms = write_total_multiplier_ms * uint64_t{n} + write_total_constant_ms;
  const auto deadline = clock_type::now() + milliseconds(bound_ms);
  std::size_t done = 0;
  while (done < n) {
    ssize_t w = write(port->fd, bytes + done, n - done);
    if (w > 0) {
      done += static_cast<std::size_t>(w);
      port->unsent = true;
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      const int number = errno;
      // An unplugged adapter: what every later call will find too.
      if (number == EIO || number == ENXIO || number == ENODEV) port->gone = true;
      return {.ok = false, .error = system_words(number)};
    }
    int ready = wait_ready(port->fd, POLLOUT, deadline, false);
    if (ready < 0 || (ready & (POLLERR | POLLHUP | POLLNVAL))) {
      port->gone = true;
      return {.ok = false, .error = "the line hung up"};
    }
    if (ready == 0) {
      return {.ok = false,
              .error = std::to_string(n - done) + " of " + std::to_string(n) +
                       " bytes not taken within " + std::to_string(bound_ms) + " ms"};
    }
  }
  return {};
}

namespace {

// While a read waits for more than one byte, it looks how many have come at
// least this often. Bytes that a look finds new came since the look before;
// the gap rule counts them as come halfway between the two, so a gap is
// judged to within half this interval, well inside its 100 ms. A block at
// 115200 baud (22 ms) is in before the first look.
constexpr milliseconds flow_look_interval{25};

int bytes_waiting(int fd) {
  int count = 0;
  return ioctl(fd, FIONREAD, &count) == 0 ? count : 0;
}

enum class take_result { some, none, gone };

// Takes what the kernel holds, up to n bytes in all. With a read minimum
// of 1 one read hands over all that is there.
take_result take_bytes(serial_port& port, uint8_t* buffer, std::size_t n, std::size_t& got) {
  for (;;) {
    const ssize_t r = read(port.fd, buffer + got, n - got);
    if (r > 0) {
      got += static_cast<std::size_t>(r);
      return take_result::some;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return take_result::none;
    return take_result::gone;
  }
}

}  // namespace

std::size_t port_read(port_handle port, uint8_t* buffer, std::size_t n) {
  if (port == nullptr || n == 0 || port->gone) return 0;
  const auto total_deadline = clock_type::now() + milliseconds(port_read_bound_ms(n));
  std::size_t got = 0;
  // When the count of received bytes last grew; once bytes flow, a gap of
  // more than the interval ends the read.
  std::optional<clock_type::time_point> last_growth;
  auto last_look = clock_type::now();
  int waiting = 0;  // what the kernel held at the last look
  // A look found that nothing has come at all: the line is quiet (a drain,
  // a target that takes its time), so the first byte itself wakes us rather
  // than a look every interval, and its arrival starts the gap clock.
  bool quiet = false;
  for (;;) {
    auto deadline = total_deadline;
    if (last_growth) deadline = std::min(deadline, *last_growth + milliseconds(read_interval_ms));
    // Poll first: when the caller reads, the answer is rarely there yet.
    // The kernel wakes us once all the bytes still wanted are in.
    const std::size_t wanted = quiet ? 1 : n - got;
    set_read_minimum(port->fd, static_cast<uint8_t>(std::min<std::size_t>(wanted, 255)));
    const bool look_at_flow = wanted > 1;
    const auto wake =
        look_at_flow ? std::min(deadline, clock_type::now() + flow_look_interval) : deadline;
    const int ready = wait_ready(port->fd, POLLIN, wake, true);
    if (ready < 0 || (ready & (POLLERR | POLLNVAL))) {
      port->gone = true;  // the line is gone, as with an unplugged adapter
      return 0;
    }
    const auto now = clock_type::now();
    if (ready == 0 && now < wake) {
      // A stop request: the read ends with what has come.
      take_bytes(*port, buffer, n, got);
      return got;
    }
    if (ready == 0 && now < deadline) {
      // A look while the block comes in: has the count grown?
      const int count = bytes_waiting(port->fd);
      if (count > waiting) last_growth = last_look + (now - last_look) / 2;
      quiet = got == 0 && count == 0;
      waiting = count;
      last_look = now;
      continue;
    }
    // Readable, or a time-out: take what is there, all of it in one read.
    set_read_minimum(port->fd, 1);
    switch (take_bytes(*port, buffer, n, got)) {
      case take_result::some:
        if (got == n || ready == 0) return got;
        last_growth = last_look = now;
        waiting = 0;
        quiet = false;
        continue;
      case take_result::none:
        if (ready == 0) return got;
        continue;
      case take_result::gone:
        // End of file or a real error: the line is gone, as with an
        // unplugged adapter. It counts as nothing received.
        port->gone = true;
        return 0;
    }
  }
}

void port_discard_input(port_handle port) {
  if (port != nullptr && !port->gone) tcflush(port->fd, TCIFLUSH);
}

bool port_gone(port_handle port) { return port != nullptr && port->gone; }

void port_close(port_handle port) {
  if (port == nullptr) return;
  if (port->low_latency_set) low_latency_off(port->fd);
  if (dying_port.fd == port->fd) {
    // After the closing sequence; at once, as the bytes before it have left:
    // the terminal gets its echo, its line editing and its Ctrl-C back.
    put_back_found_settings();
    stop_before_dying(nullptr);
    dying_port = {};
  }
  ioctl(port->fd, TIOCNXCL);
  forget_line_settings();
  close(port->fd);  // which also releases the lock
  delete port;
}
