// POSIX: each run is spawned with its output into a pipe; one poll() watches
// every pipe, the ports folder and a pipe that the signal handlers write to,
// so that the station sleeps until something happens and never polls on a
// clock.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "children.h"
#include "stop/stop_requests.h"
#include "stop/stop_wait_posix.h"

extern char** environ;

struct child {
  pid_t pid = -1;
  int output = -1;  // the pipe's read end, non-blocking; -1 once it has ended
};

namespace {

// SIGCHLD notes that a run ended and wakes the wait through a pipe of its
// own (stop requests have theirs); a full pipe loses only a wake-up, never
// the note. The note is taken with one exchange, so an end noted between
// reading and clearing it is never lost.
int ended_pipe[2] = {-1, -1};
std::atomic<int> children_ended{0};
static_assert(std::atomic<int>::is_always_lock_free);
unsigned stop_requests_seen = 0;

void on_child_ended(int) {
  const int saved_errno = errno;
  children_ended = 1;
  const char byte = 0;
  if (write(ended_pipe[1], &byte, 1) < 0) {
  }
  errno = saved_errno;
}

void handle(int signal, void (*handler)(int), int flags) {
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_flags = flags;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
}

void set_non_blocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Reads what the run has printed; marks the output ended at end of file.
void take_output(child& run, activity& happened) {
  char buffer[16 * 1024];
  for (;;) {
    const ssize_t got = read(run.output, buffer, sizeof buffer);
    if (got > 0) {
      happened.output.emplace_back(&run, std::string(buffer, static_cast<std::size_t>(got)));
      if (static_cast<std::size_t>(got) < sizeof buffer) return;
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EAGAIN) return;
    close(run.output);
    run.output = -1;
    return;
  }
}

// The run's exit status once it has ended, with everything it printed taken
// first; false while it runs.
bool reap(child& run, activity& happened) {
  int status = 0;
  pid_t reaped;
  do {
    reaped = waitpid(run.pid, &status, WNOHANG);
  } while (reaped < 0 && errno == EINTR);
  if (reaped == 0) return false;
  // Its output is all in the pipe now (unless it left a process behind that
  // holds the pipe, whose output is not the run's).
  if (run.output >= 0) {
    take_output(run, happened);
    if (run.output >= 0) close(run.output);
  }
  const int exit_status = reaped < 0          ? 128 + SIGKILL  // not ours to wait for: lost
                          : WIFEXITED(status) ? WEXITSTATUS(status)
                                              : 128 + WTERMSIG(status);
  happened.exited.emplace_back(&run, exit_status);
  return true;
}

}  // namespace

void catch_station_stops() {
  // Every request is handed on to the runs; SIGQUIT too, so that a quit key
  // never leaves runs flashing with nobody to record them. The runs get
  // SIGPIPE's default back.
  catch_stop_requests({.second_ends_process = false, .quit_too = true});
  if (ended_pipe[0] >= 0 || pipe(ended_pipe) != 0) return;
  for (int fd : ended_pipe) {
    set_non_blocking(fd);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  handle(SIGCHLD, on_child_ended, SA_RESTART | SA_NOCLDSTOP);
}

child* child_start(const std::string& program, const std::vector<std::string>& args,
                   std::string& why) {
  int pipe_ends[2];
  if (pipe(pipe_ends) != 0) {
    why = std::string("no pipe for its output: ") + std::strerror(errno);
    return nullptr;
  }
  fcntl(pipe_ends[0], F_SETFD, FD_CLOEXEC);
  fcntl(pipe_ends[1], F_SETFD, FD_CLOEXEC);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  posix_spawnattr_setpgroup(&attributes, 0);
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  sigaddset(&signals, SIGPIPE);
  sigaddset(&signals, SIGCHLD);
  posix_spawnattr_setsigdefault(&attributes, &signals);

  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int failed =
      posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(pipe_ends[1]);
  if (failed != 0) {
    close(pipe_ends[0]);
    why = std::string("cannot start ") + program + ": " + std::strerror(failed);
    return nullptr;
  }
  set_non_blocking(pipe_ends[0]);
  return new child{.pid = pid, .output = pipe_ends[0]};
}

// The request's own signal, but SIGQUIT as SIGTERM: vexlor-prog's clean
// stop, where SIGQUIT would end it without its closing line sequence.
void child_stop(child* run, int signal) { kill(run->pid, signal == SIGQUIT ? SIGTERM : signal); }

void child_release(child* run) { delete run; }

activity wait_for_activity(const std::vector<child*>& running, const ports_watch* watch,
                           int timeout_ms) {
  std::vector<pollfd> watched;
  std::vector<child*> reading;
  for (child* run : running) {
    if (run->output < 0) continue;
    watched.push_back({run->output, POLLIN, 0});
    reading.push_back(run);
  }
  watched.push_back({stop_wait_descriptor(), POLLIN, 0});
  watched.push_back({ended_pipe[0], POLLIN, 0});
  watched.push_back({ports_watch_descriptor(watch), POLLIN, 0});
  activity happened;
  if (poll(watched.data(), watched.size(), timeout_ms) <= 0) {
    // Nothing, or a signal (EINTR): its notes are read below all the same.
    for (pollfd& p : watched) p.revents = 0;
  }
  for (std::size_t i = 0; i < reading.size(); ++i) {
    if (watched[i].revents != 0) take_output(*reading[i], happened);
  }
  stop_take_wakes();
  char drained[64];
  while (read(ended_pipe[0], drained, sizeof drained) > 0) {
  }
  happened.ports_changed = watched.back().revents != 0;
  if (stop_request_count() != stop_requests_seen) {
    stop_requests_seen = stop_request_count();
    happened.stop_signal = stop_latest_signal();
  }
  // A run is reaped once its output has ended or the kernel said a child
  // ended: waiting on each of many runs at every wake would cost more than
  // the rest of the station.
  const bool any_ended = children_ended.exchange(0) != 0;
  for (child* run : running) {
    if (any_ended || run->output < 0) reap(*run, happened);
  }
  return happened;
}
