#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <stdexcept>

extern char** environ;

namespace {

double seconds_of(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

// Reaps the child if it has exited (or, with `flags` 0, once it does), with
// the kernel's figures for it.
bool reap(child_process& child, int flags, process_result& result) {
  int status = 0;
  rusage usage{};
  pid_t reaped;
  do {
    reaped = wait4(child.pid, &status, flags, &usage);
  } while (reaped < 0 && errno == EINTR);
  if (reaped == 0) return false;
  result.seconds = seconds_since(child.started);
  child.pid = -1;
  if (reaped < 0) return true;  // not a child of ours: nothing to wait for
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.killed_by = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  result.cpu_s = seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime);
  result.max_rss_kib = usage.ru_maxrss;
  return true;
}

void close_fd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

child_process start_process(const std::vector<std::string>& argv, const std::string& cwd,
                            const std::vector<std::string>& env_extra, child_output output) {
  // Everything the child needs is made before the fork: the caller may have
  // other threads, and the child may only make async-signal-safe calls.
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) env_strings.emplace_back(*e);
  env_strings.insert(env_strings.end(), env_extra.begin(), env_extra.end());
  std::vector<char*> args, envs;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : env_strings) envs.push_back(const_cast<char*>(e.c_str()));
  envs.push_back(nullptr);
  const bool capture = output != child_output::discarded;
  int out[2] = {-1, -1};
  if (capture && pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);

  child_process child;
  child.started = test_clock::now();
  // fork, not posix_spawn: a child that shares the parent's memory until
  // exec inherits the parent's peak resident size into its ru_maxrss, and
  // the tool's own peak would drown in the benchmark's.
  child.pid = fork();
  if (child.pid < 0) throw std::runtime_error("fork failed");
  if (child.pid == 0) {
    dup2(null_fd, STDIN_FILENO);
    dup2(capture ? out[1] : null_fd, STDOUT_FILENO);
    if (output == child_output::captured_quiet) dup2(null_fd, STDERR_FILENO);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execve(args[0], args.data(), envs.data());
    _exit(127);
  }
  close(null_fd);
  if (capture) close(out[1]);
  child.out_fd = out[0];
  // Wakes the wait the moment the child exits, so that its wall time is its own.
  child.exit_fd = static_cast<int>(syscall(SYS_pidfd_open, child.pid, 0));
  return child;
}

std::string read_line(const child_process& child, double timeout_s) {
  std::string line;
  const auto give_up = deadline_in(timeout_s);
  char c = 0;
  while (test_clock::now() < give_up) {
    pollfd p{child.out_fd, POLLIN, 0};
    if (poll(&p, 1, poll_ms_until(give_up)) <= 0) continue;
    if (read(child.out_fd, &c, 1) != 1) break;
    if (c == '\n') return line;
    line += c;
  }
  return "";
}

bool read_until(const child_process& child, std::string& out, const std::string& needle,
                double timeout_s) {
  const auto give_up = deadline_in(timeout_s);
  while (needle.empty() || out.find(needle) == std::string::npos) {
    if (test_clock::now() > give_up) return false;
    pollfd p{child.out_fd, POLLIN, 0};
    char chunk[256];
    if (poll(&p, 1, 20) == 1) {
      const ssize_t got = read(child.out_fd, chunk, sizeof chunk);
      if (got <= 0) return needle.empty();
      out.append(chunk, static_cast<std::size_t>(got));
    }
  }
  return true;
}

process_result wait_process(child_process& child, double timeout_s) {
  process_result result;
  const auto give_up = deadline_in(timeout_s);
  char chunk[4096];
  while (child.pid > 0 && !reap(child, WNOHANG, result)) {
    if (test_clock::now() >= give_up) {
      kill(child.pid, SIGKILL);
      reap(child, 0, result);
      result.exit_code = -1;
      result.timed_out = true;
      break;
    }
    pollfd watch[2] = {{child.out_fd, POLLIN, 0}, {child.exit_fd, POLLIN, 0}};
    // Without an exit descriptor (a kernel before pidfds) the exit is looked
    // for every 2 ms.
    const int wait_ms =
        child.exit_fd >= 0 ? poll_ms_until(give_up) : std::min(2, poll_ms_until(give_up));
    if (poll(watch, 2, wait_ms) > 0 && watch[0].revents != 0) {
      const ssize_t got = read(child.out_fd, chunk, sizeof chunk);
      if (got > 0) {
        result.out.append(chunk, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        close_fd(child.out_fd);  // the output has ended; the exit is still to come
      }
    }
  }
  // What the child wrote is in the pipe by now. A helper it left behind (a
  // Wine server) may hold the pipe open, so only what is there is taken.
  if (child.out_fd >= 0) {
    fcntl(child.out_fd, F_SETFL, O_NONBLOCK);
    ssize_t got;
    while ((got = read(child.out_fd, chunk, sizeof chunk)) > 0)
      result.out.append(chunk, static_cast<std::size_t>(got));
  }
  close_fd(child.out_fd);
  close_fd(child.exit_fd);
  return result;
}

process_result stop_process(child_process& child, double timeout_s) {
  if (child.pid > 0) kill(child.pid, SIGTERM);
  return wait_process(child, timeout_s);
}

process_result run_process(const std::vector<std::string>& argv, const std::string& cwd,
                           const std::vector<std::string>& env_extra, double timeout_s,
                           child_output output) {
  child_process child = start_process(argv, cwd, env_extra, output);
  return wait_process(child, timeout_s);
}
