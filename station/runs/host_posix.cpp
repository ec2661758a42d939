#include <limits.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "runs/host.h"

std::string host_name() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

bool station_running(int64_t pid) {
  if (pid <= 0 || (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM)) return false;
  // Linux names a process's program; elsewhere a running process is taken
  // for the station.
  std::error_code error, own_error;
  const auto program =
      std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
  const auto own = std::filesystem::read_symlink("/proc/self/exe", own_error);
  return error || own_error || program.filename() == own.filename();
}

int64_t own_process() { return getpid(); }

std::string own_folder() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : self.parent_path().string();
}

std::string programmer_file_name() { return "vexlor-prog"; }

bool is_executable(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
         access(path.c_str(), X_OK) == 0;
}

std::string last_system_error() { return std::strerror(errno); }

std::string find_on_path(const std::string& file) {
  const char* path = std::getenv("PATH");
  const std::string folders = path != nullptr ? path : "";
  for (std::size_t start = 0; start <= folders.size();) {
    std::size_t end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    // An empty entry stands for the current folder.
    const std::string folder = end > start ? folders.substr(start, end - start) : ".";
    const std::string candidate = folder + "/" + file;
    if (is_executable(candidate)) return candidate;
    start = end + 1;
  }
  return {};
}

std::optional<terminal_size> output_terminal() {
  if (isatty(STDOUT_FILENO) == 0) return std::nullopt;
  terminal_size size;
  winsize window{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &window) == 0 && window.ws_col > 0 && window.ws_row > 0) {
    size.columns = window.ws_col;
    size.rows = window.ws_row;
  }
  return size;
}
