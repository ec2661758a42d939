#include "support/process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using clock_type = std::chrono::steady_clock;

double since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

int wait_exit(pid_t pid, double timeout_s, bool& killed) {
  const auto start = clock_type::now();
  int status = 0;
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) return -1;
    if (since(start) > timeout_s) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      killed = true;
      return -1;
    }
    usleep(2000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

child_process start_process(const std::vector<std::string>& argv, const std::string& cwd,
                            const std::vector<std::string>& env_extra, bool detach_stderr) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) env_strings.emplace_back(*e);
  env_strings.insert(env_strings.end(), env_extra.begin(), env_extra.end());
  std::vector<char*> args, envs;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : env_strings) envs.push_back(const_cast<char*>(e.c_str()));
  envs.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(pipe_fds[1], STDOUT_FILENO);
    if (detach_stderr) {
      int null_fd = open("/dev/null", O_RDWR);
      dup2(null_fd, STDIN_FILENO);
      dup2(null_fd, STDERR_FILENO);
    }
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execve(args[0], args.data(), envs.data());
    _exit(127);
  }
  close(pipe_fds[1]);
  return {pid, pipe_fds[0]};
}

std::string read_line(const child_process& child, double timeout_s) {
  std::string line;
  const auto start = clock_type::now();
  char c = 0;
  while (since(start) < timeout_s) {
    pollfd p{child.out_fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    if (read(child.out_fd, &c, 1) != 1) break;
    if (c == '\n') return line;
    line += c;
  }
  return "";
}

int wait_process(child_process& child, double timeout_s) {
  bool killed = false;
  int code = wait_exit(child.pid, timeout_s, killed);
  if (child.out_fd >= 0) close(child.out_fd);
  child.out_fd = -1;
  return code;
}

process_result run_process(const std::vector<std::string>& argv, const std::string& cwd,
                           const std::vector<std::string>& env_extra, double timeout_s,
                           bool detach_stderr) {
  process_result result;
  const auto start = clock_type::now();
  child_process child = start_process(argv, cwd, env_extra, detach_stderr);
  char chunk[4096];
  bool killed = false;
  for (;;) {
    const double left = timeout_s - since(start);
    if (left <= 0) {
      result.timed_out = true;
      break;
    }
    pollfd p{child.out_fd, POLLIN, 0};
    int rc = poll(&p, 1, 20);
    if (rc < 0 && errno != EINTR) break;
    if (rc > 0) {
      ssize_t r = read(child.out_fd, chunk, sizeof chunk);
      if (r > 0) {
        result.out.append(chunk, static_cast<std::size_t>(r));
        continue;
      }
      if (r == 0) break;
    }
    // A grandchild (a Wine server, say) may hold the pipe open after the
    // programmer has exited: stop reading once the output is idle and the
    // child is gone.
    int status = 0;
    if (rc == 0 && waitpid(child.pid, &status, WNOHANG) == child.pid) {
      fcntl(child.out_fd, F_SETFL, O_NONBLOCK);
      ssize_t r;
      while ((r = read(child.out_fd, chunk, sizeof chunk)) > 0) {
        result.out.append(chunk, static_cast<std::size_t>(r));
      }
      result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      close(child.out_fd);
      result.seconds = since(start);
      return result;
    }
  }
  result.exit_code = wait_exit(child.pid, result.timed_out ? 0 : 5, killed);
  result.timed_out = result.timed_out || killed;
  close(child.out_fd);
  result.seconds = since(start);
  return result;
}
