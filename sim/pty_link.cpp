#include "pty_link.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

bool pty_make_symlink(pty_link& link, const std::string& path, std::string& error) {
  struct stat existing {};
  if (lstat(path.c_str(), &existing) == 0) {
    if (!S_ISLNK(existing.st_mode)) {
      error = "--link " + path + ": exists and is not a symlink";
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
