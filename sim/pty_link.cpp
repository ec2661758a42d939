#include "pty_link.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <vector>

bool pty_create(pty_link& link, std::string& error) {
  int master = -1;
  int slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    error = std::string("openpty: ") + std::strerror(errno);
    return false;
  }
  // The line settings outlive the slave fd, so a programmer that does not
  // set raw mode itself still gets a clean 8-bit line.
  termios mode{};
  bool ok = tcgetattr(slave, &mode) == 0;
  if (ok) {
    cfmakeraw(&mode);
    ok = tcsetattr(slave, TCSANOW, &mode) == 0;
  }
  const char* name = ok ? ttyname(slave) : nullptr;
  if (!name) {
    error = std::string("setting up the pty slave: ") + std::strerror(errno);
    close(slave);
    close(master);
    return false;
  }
  link.slave_path = name;
  close(slave);
  int flags = fcntl(master, F_GETFL);
  fcntl(master, F_SETFL, flags | O_NONBLOCK);
  fcntl(master, F_SETFD, FD_CLOEXEC);
  link.master = master;
  return true;
}

namespace {

// The process other than this one that holds the master of /dev/pts/N, as
// "NAME (pid P)": the kernel names a master's pty in its descriptor's
// fdinfo ("tty-index"). Empty when none does.
std::string pty_master_holder(const std::string& slave_path) {
  constexpr std::string_view pts = "/dev/pts/";
  if (!slave_path.starts_with(pts)) return {};
  const std::string index = slave_path.substr(pts.size());
  std::error_code error;
  for (const auto& process : std::filesystem::directory_iterator("/proc", error)) {
    const std::string pid = process.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos || pid == std::to_string(getpid()))
      continue;
    std::error_code no_access;
    for (const auto& fd : std::filesystem::directory_iterator(process.path() / "fd", no_access)) {
      std::error_code gone;
      const auto target = std::filesystem::read_symlink(fd.path(), gone);
      if (gone || (target != "/dev/ptmx" && target != "/dev/pts/ptmx")) continue;
      std::ifstream info(process.path() / "fdinfo" / fd.path().filename());
      std::string line;
      while (std::getline(info, line)) {
        if (!line.starts_with("tty-index:")) continue;
        if (line.substr(line.find_first_not_of(" \t", 10)) != index) break;
        std::ifstream comm(process.path() / "comm");
        std::string name;
        std::getline(comm, name);
        return name + " (pid " + pid + ")";
      }
    }
  }
  return {};
}

}  // namespace

bool pty_make_symlink(pty_link& link, const std::string& path, std::string& error) {
  struct stat existing {};
  if (lstat(path.c_str(), &existing) == 0) {
    if (!S_ISLNK(existing.st_mode)) {
      error = "--link " + path + ": exists and is not a symlink";
      return false;
    }
    // A link left by a simulator that has ended is taken over; one that
    // leads to a simulator still running is not: taking it would leave that
    // one unreachable, and its link removed when this one ends.
    std::error_code unreadable;
    const std::string leads_to = std::filesystem::read_symlink(path, unreadable).string();
    if (const std::string holder = pty_master_holder(leads_to); !holder.empty()) {
      error = "--link " + path + ": leads to " + leads_to + ", the port of " + holder +
              ", which is still running";
      return false;
    }
    unlink(path.c_str());
  }
  if (symlink(link.slave_path.c_str(), path.c_str()) != 0) {
    error = "--link " + path + ": " + std::strerror(errno);
    return false;
  }
  link.link_path = path;
  return true;
}

bool pty_hung_up(int master) {
  pollfd watch{master, POLLIN, 0};
  return poll(&watch, 1, 0) == 1 && (watch.revents & POLLHUP) != 0;
}

void pty_close_master(pty_link& link) {
  if (link.master >= 0) close(link.master);
  link.master = -1;
}

void pty_remove_symlink(pty_link& link) {
  if (link.link_path.empty()) return;
  std::vector<char> target(link.slave_path.size() + 2);
  ssize_t length = readlink(link.link_path.c_str(), target.data(), target.size());
  if (length >= 0 &&
      std::string(target.data(), static_cast<std::size_t>(length)) == link.slave_path) {
    unlink(link.link_path.c_str());
  }
  link.link_path.clear();
}
