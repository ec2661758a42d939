// POSIX: each run is forked and made vexlor-prog with its output into a
// pipe; one poll() watches every pipe, the ports folder and a pipe that the
// signal handlers write to, so that the station sleeps until something
// happens and never polls on a clock. Built for Linux only (the station's
// ports are Linux's), whose prctl() ties each run to the station's life.
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>

#include "runs/children.h"
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

// File descriptors kept free beyond those open when the runs begin and
// those the runs hold: for a run's start (two pipes), the JUnit file at the
// end, a folder read or a port's sysfs identity under --watch, with room
// to spare.
constexpr std::size_t descriptor_reserve = 16;

// The exit status of a run whose station was gone before the run could
// tie itself to it: it flashes nothing.
constexpr int exit_station_gone = 125;

// What a new run's process does until it is vexlor-prog: only calls that are
// safe between fork and exec (no allocation, no lock).
[[noreturn]] void become_run(char* const* argv, int output, int exec_failed, pid_t station) {
  setpgid(0, 0);
  // SIGTERM when the station dies, however it dies: vexlor-prog's own clean
  // stop, which ends with the closing line sequence, lets the port go and
  // puts its settings back, where SIGKILL would leave the board's lines
  // mid-flash. vexlor-prog's stop is bounded by its own waits.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != station) _exit(exit_station_gone);  // died before that was set
  // A request ignored when the station started stays ignored; SIGPIPE,
  // which the station ignores for itself, and those it handles get the
  // default back.
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  for (const int signal : {SIGPIPE, SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    struct sigaction now {};
    sigaction(signal, nullptr, &now);
    if (signal == SIGPIPE || now.sa_handler != SIG_IGN) sigaction(signal, &default_action, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  const int null_device = open("/dev/null", O_RDONLY);
  if (null_device >= 0 && dup2(null_device, STDIN_FILENO) >= 0 &&
      dup2(output, STDOUT_FILENO) >= 0 && dup2(output, STDERR_FILENO) >= 0) {
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) fcntl(fd, F_SETFD, 0);
    execve(argv[0], argv, environ);
  }
  const int error = errno;
  if (write(exec_failed, &error, sizeof error) < 0) {
  }
  _exit(127);
}

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
  int output[2];
  int exec_failed[2];  // the run's errno when it cannot become the program; closed by exec
  if (pipe2(output, O_CLOEXEC) != 0) {
    why = std::string("no pipe for its output: ") + std::strerror(errno);
    return nullptr;
  }
  if (pipe2(exec_failed, O_CLOEXEC) != 0) {
    why = std::string("no pipe for its output: ") + std::strerror(errno);
    close(output[0]);
    close(output[1]);
    return nullptr;
  }
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const pid_t station = getpid();
  // No handler of the station's may run in the new process before it has
  // put back the defaults.
  sigset_t every_signal, before;
  sigfillset(&every_signal);
  sigprocmask(SIG_SETMASK, &every_signal, &before);
  const pid_t pid = fork();
  if (pid == 0) become_run(argv.data(), output[1], exec_failed[1], station);
  const int fork_error = errno;
  sigprocmask(SIG_SETMASK, &before, nullptr);
  close(output[1]);
  close(exec_failed[1]);
  int run_error = fork_error;
  ssize_t got = pid < 0 ? 0 : -1;
  while (got < 0) {
    got = read(exec_failed[0], &run_error, sizeof run_error);
    if (got < 0 && errno != EINTR) got = 0;
  }
  close(exec_failed[0]);
  if (pid < 0 || got == sizeof run_error) {
    if (pid > 0) waitpid(pid, nullptr, 0);
    close(output[0]);
    why = "cannot start " + program + ": " + std::strerror(run_error);
    return nullptr;
  }
  set_non_blocking(output[0]);
  return new child{.pid = pid, .output = output[0]};
}

void child_stop(child* run, int signal) {
  kill(run->pid, signal == SIGQUIT ? SIGTERM : signal);
  kill(run->pid, SIGCONT);
}

void child_kill(child* run) {
  // Its group too: a stand-in's children hold its pipe as long as they live.
  kill(-run->pid, SIGKILL);
  kill(run->pid, SIGKILL);
}

std::size_t runs_descriptors_allow(int per_run) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
  std::size_t open_now = 0;
  std::error_code error;
  for (auto entry = std::filesystem::directory_iterator("/proc/self/fd", error);
       !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
    ++open_now;
  }
  open_now = std::max<std::size_t>(open_now, 3);  // without /proc: the standard three
  const auto most = static_cast<std::size_t>(limit.rlim_cur);
  const std::size_t taken = open_now + descriptor_reserve;
  const auto each = static_cast<std::size_t>(per_run);
  return most <= taken + each ? 1 : (most - taken) / each;
}

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
  // A run is reaped once its output has ended or the kernel said a child
  // ended: waiting on each of many runs at every wake would cost more than
  // the rest of the station.
  const bool any_ended = children_ended.exchange(0) != 0;
  for (child* run : running) {
    if (any_ended || run->output < 0) reap(*run, happened);
  }
  return happened;
}
