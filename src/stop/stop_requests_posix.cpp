// POSIX: a stop request is a signal noted by its handler and a byte in a
// pipe. The byte makes the pipe readable, so a poll that watches it ends at
// once, from then on (a waiter that hands each request on reads the bytes
// away).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "stop/stop_notes.h"
#include "stop/stop_requests.h"
#include "stop/stop_wait_posix.h"

namespace {

int wake_pipe[2] = {-1, -1};
bool second_ends_process = true;
constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void on_stop_signal(int signal) {
  const int saved_errno = errno;
  if (!note_stop_request(signal) && second_ends_process) {
    // The second request takes the default way out: the process ends at
    // once, with what must not outlive it put back first.
    run_dying_hook();
    std::signal(signal, SIG_DFL);
    raise(signal);  // delivered as the handler returns: it is blocked in here
    errno = saved_errno;
    return;
  }
  count_stop_request(signal);
  const char byte = 0;
  if (write(wake_pipe[1], &byte, 1) < 0) {
    // A full pipe is readable already: no wake-up is lost.
  }
  errno = saved_errno;
}

bool make_wake_pipe() {
  if (pipe(wake_pipe) != 0) return false;
  for (int fd : wake_pipe) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  return true;
}

}  // namespace

void catch_stop_requests(stop_catching how) {
  std::signal(SIGPIPE, SIG_IGN);
  if (wake_pipe[0] >= 0 || !make_wake_pipe()) return;
  second_ends_process = how.second_ends_process;
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  // One handler at a time: a second request waits until the first is noted.
  for (int s : stop_signals) sigaddset(&action.sa_mask, s);
  for (int s : stop_signals) {
    if (s == SIGQUIT && !how.quit_too) continue;
    struct sigaction before {};
    sigaction(s, nullptr, &before);
    if (before.sa_handler != SIG_IGN) sigaction(s, &action, nullptr);
  }
}

int stop_wait_descriptor() { return wake_pipe[0]; }

void stop_take_wakes() {
  char drained[64];
  while (wake_pipe[0] >= 0 && read(wake_pipe[0], drained, sizeof drained) > 0) {
  }
}
