#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "cli/save_file.h"
#include "cli/save_file_platform.h"
#include "text/system_words.h"

struct fresh_file {
  int fd;
};

namespace {

// Fresh names tried before giving up: each is taken only by a process that
// has the same id, which a folder shared between machines can hold.
constexpr int fresh_name_tries = 100;

// Mode asked for a new file; the umask takes from it as from any other.
constexpr mode_t new_file_mode = 0666;

bool write_whole(int fd, std::span<const uint8_t> bytes, std::string& why) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      why = "cannot write the file: " + system_words(n < 0 ? errno : ENOSPC);
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  // On the disk before it takes the name: a crash must not leave the name
  // on a file that is empty or short.
  if (fsync(fd) != 0) {
    why = "cannot write the file: " + system_words(errno);
    return false;
  }
  return true;
}

}  // namespace

fresh_file* open_fresh_file(const std::string& path, std::string& fresh, std::string& why) {
  for (int i = 0; i < fresh_name_tries; ++i) {
    fresh = fresh_file_name(path, static_cast<unsigned long>(getpid()), i);
    const int fd = open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, new_file_mode);
    if (fd >= 0) return new fresh_file{fd};
    if (errno != EEXIST) {
      why = "cannot make a file in its folder: " + system_words(errno);
      return nullptr;
    }
  }
  why = "cannot make a file in its folder: every fresh name is taken";
  return nullptr;
}

bool write_and_close(fresh_file* file, std::span<const uint8_t> bytes, std::string& why) {
  bool ok = write_whole(file->fd, bytes, why);
  if (close(file->fd) != 0 && ok) {
    why = "cannot write the file: " + system_words(errno);
    ok = false;
  }
  delete file;
  return ok;
}

bool put_in_place(const std::string& fresh, const std::string& path, bool replace,
                  std::string& why) {
  if (!replace) {
    // A hard link refuses a name that exists, in one step: a file made
    // under that name meanwhile is never overwritten.
    if (link(fresh.c_str(), path.c_str()) == 0) {
      unlink(fresh.c_str());
      return true;
    }
    if (errno == EEXIST) {
      why = "a file of that name appeared meanwhile; it is left as it is";
      return false;
    }
    // A file system without hard links (FAT): look, then rename.
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
      why = "a file of that name appeared meanwhile; it is left as it is";
      return false;
    }
  }
  if (rename(fresh.c_str(), path.c_str()) != 0) {
    why = "cannot give the file its name: " + system_words(errno);
    return false;
  }
  return true;
}

void remove_fresh_file(const std::string& fresh) { unlink(fresh.c_str()); }
