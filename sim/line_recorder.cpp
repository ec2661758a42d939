// The line recorder, preloaded into a programmer (LD_PRELOAD) so that
// vexlor-sim sees the programmer's control lines: a pty has no modem lines,
// so the recorder hands each RTS and DTR change to the simulator's line
// channel (VEXLOR_LINES_TO, the simulator's --lines-from socket), and a board
// it plays sees them move. It is installed with the simulator, which prints
// the words that preload it (recorder_words.h).
//
// For the tests it also records the modem-control requests and the writes to
// the port, with times, to check their order and the pause between them
// (VEXLOR_LINE_LOG). With VEXLOR_LINE_FAULT it plays a driver that fails or
// dawdles: "lines" fails every modem-control request with EIO, "write=N"
// fails the Nth write to the port with EPERM, so that the tool's words for
// such a failure can be checked on the real binary; and "slow-lines" makes
// each modem-control request take 300 ms, so that a test has time to act
// while a line sequence goes on.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "line_channel.h"
#include "sim_clock.h"

namespace {

using ioctl_fn = int (*)(int, unsigned long, ...);
using write_fn = ssize_t (*)(int, const void*, size_t);

ioctl_fn real_ioctl() {
  static auto fn = reinterpret_cast<ioctl_fn>(dlsym(RTLD_NEXT, "ioctl"));
  return fn;
}

write_fn real_write() {
  static auto fn = reinterpret_cast<write_fn>(dlsym(RTLD_NEXT, "write"));
  return fn;
}

// The simulator answers at once unless the bytes before the change are
// still on their way; this only bounds a simulator that has died.
constexpr int channel_answer_ms = 10'000;

// Bytes written to the port so far: each change says how many came before it.
uint64_t bytes_written = 0;
// The simulator's line channel, connected at the first change.
constexpr int no_channel_yet = -1;
constexpr int channel_given_up = -2;
int channel = no_channel_yet;

// Tells the simulator of one change and waits until it has taken it, so
// that the change lands after the bytes written before it and before those
// written after it (see line_channel.h).
void forward(line_level change, int64_t at_ns) {
  const char* path = std::getenv("VEXLOR_LINES_TO");
  if (path == nullptr) return;
  if (channel == no_channel_yet) channel = line_channel_connect(path);
  if (channel < 0) return;
  // An answer that did not come may still come, and would pass for the
  // next one's: a channel that failed once is given up.
  if (!line_channel_tell(channel, {change, at_ns, bytes_written}, channel_answer_ms)) {
    close(channel);
    channel = channel_given_up;
  }
}

void record(const char* what) {
  const char* path = std::getenv("VEXLOR_LINE_LOG");
  if (path == nullptr) return;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  char line[1200];
  int n = std::snprintf(line, sizeof line, "%ld.%06ld %s\n", static_cast<long>(now.tv_sec),
                        now.tv_nsec / 1000, what);
  int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  real_write()(fd, line, static_cast<size_t>(n));
  close(fd);
}

// The fault asked for: its kind, and for a write its number.
bool fault_is(const char* kind) {
  const char* fault = std::getenv("VEXLOR_LINE_FAULT");
  return fault != nullptr && std::strncmp(fault, kind, std::strlen(kind)) == 0;
}

int writes_seen = 0;

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  if (request == TIOCMBIS || request == TIOCMBIC) {
    const int64_t at_ns = monotonic_ns();
    const int lines = *static_cast<int*>(arg);
    char what[64];
    std::snprintf(what, sizeof what, "%s %s%s", request == TIOCMBIS ? "set" : "clear",
                  (lines & TIOCM_RTS) ? "rts" : "", (lines & TIOCM_DTR) ? "dtr" : "");
    record(what);
    if (fault_is("lines")) {
      errno = EIO;
      return -1;
    }
    if (fault_is("slow-lines")) {
      timespec dawdle{0, 300'000'000};
      while (nanosleep(&dawdle, &dawdle) != 0 && errno == EINTR) {
      }
    }
    if (lines & TIOCM_RTS) forward({control_line::rts, request == TIOCMBIS}, at_ns);
    if (lines & TIOCM_DTR) forward({control_line::dtr, request == TIOCMBIS}, at_ns);
  }
  return real_ioctl()(fd, request, arg);
}

extern "C" ssize_t write(int fd, const void* bytes, size_t n) {
  if (fd > 2 && isatty(fd)) {
    char what[1100] = "write";
    size_t used = 5;
    const auto* p = static_cast<const unsigned char*>(bytes);
    for (size_t i = 0; i < n && used + 4 < sizeof what; ++i) {
      used += static_cast<size_t>(std::snprintf(what + used, sizeof what - used, " %02x", p[i]));
    }
    record(what);
    if (fault_is("write=") && ++writes_seen == std::atoi(std::getenv("VEXLOR_LINE_FAULT") + 6)) {
      errno = EPERM;
      return -1;
    }
    const ssize_t written = real_write()(fd, bytes, n);
    if (written > 0) bytes_written += static_cast<uint64_t>(written);
    return written;
  }
  return real_write()(fd, bytes, n);
}
