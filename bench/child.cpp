#include "child.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>

namespace {

double seconds_of(const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; }

}  // namespace

pid_t spawn_child(const std::vector<std::string>& argv, int out_fd)
{
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  // fork, not posix_spawn: a child that shares the parent's memory until
  // exec inherits the parent's peak resident size into its ru_maxrss, and
  // the tool's own peak would drown in the benchmark's.
  const pid_t pid = fork();
  if (pid != 0) return pid;
  const int in = open("/dev/null", O_RDONLY);
  const int out = out_fd >= 0 ? out_fd : open("/dev/null", O_WRONLY);
  if (in < 0 || out < 0 || dup2(in, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0) _exit(127);
  execv(args[0], args.data());
  _exit(127);
}

child_figures reap_child(pid_t pid)
{
  child_figures figures;
  if (pid < 0) return figures;
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) return figures;
  }
  figures.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  figures.cpu_s = seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime);
  figures.max_rss_kib = usage.ru_maxrss;
  return figures;
}

child_figures run_child(const std::vector<std::string>& argv)
{
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = spawn_child(argv, -1);
  child_figures figures = reap_child(pid);
  figures.wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return figures;
}

sim_child start_sim(const std::string& sim_path, const std::vector<std::string>& args)
{
  sim_child sim;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return sim;
  std::vector<std::string> argv{sim_path, "--once"};
  argv.insert(argv.end(), args.begin(), args.end());
  sim.pid = spawn_child(argv, fds[1]);
  close(fds[1]);
  // The first line of its output is the pty path.
  std::string line;
  char c = 0;
  pollfd p{fds[0], POLLIN, 0};
  while (sim.pid > 0 && poll(&p, 1, 5000) == 1 && read(fds[0], &c, 1) == 1 && c != '\n') line += c;
  close(fds[0]);
  if (c == '\n') {
    sim.pty_path = line;
  } else if (sim.pid > 0) {
    kill(sim.pid, SIGTERM);
    reap_child(sim.pid);
    sim.pid = -1;
  }
  return sim;
}
