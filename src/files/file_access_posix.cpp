// POSIX: descriptors opened with O_CLOEXEC (no run inherits a record), an
// O_APPEND descriptor whose every write() the kernel places whole at the
// end, O_EXCL for a name nothing holds, and flock() between stations.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "files/file_access.h"
#include "text/system_words.h"

struct open_file {
  int fd = -1;
};

namespace {

// The mode a file is made with; the umask takes from it as for any file.
constexpr mode_t new_file_mode = 0666;

// A FIFO is opened without waiting for a reader: one nobody reads from is
// refused at once (ENXIO) rather than hanging the station. The writes then
// block as usual.
open_file* opened(int fd, std::string& why) {
  if (fd < 0) {
    why = errno == ENXIO   ? "nobody reads from it"
          : errno == ELOOP ? "a symbolic link stands at its name"
                           : system_words(errno);
    return nullptr;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return new open_file{fd};
}

}  // namespace

open_file* open_appending(const std::string& path, bool follow_links, std::string& why) {
  // Read too, where it is a file whose end may have to be mended.
  struct stat status {};
  const bool a_file = stat(path.c_str(), &status) != 0 || S_ISREG(status.st_mode);
  const int flags = O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | (follow_links ? 0 : O_NOFOLLOW);
  int fd = open(path.c_str(), flags | (a_file ? O_RDWR : O_WRONLY), new_file_mode);
  if (fd < 0 && errno == EACCES && a_file) fd = open(path.c_str(), flags | O_WRONLY, new_file_mode);
  return opened(fd, why);
}

open_file* create_new_file(const std::string& path, bool scratch, bool& taken, std::string& why) {
  // O_EXCL fails on a link too, wherever it leads.
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, new_file_mode);
  taken = fd < 0 && errno == EEXIST;
  if (fd >= 0 && scratch) unlink(path.c_str());
  return opened(fd, why);
}

open_file* open_existing_for_writing(const std::string& path, std::string& why) {
  return opened(open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC), why);
}

bool is_regular(const open_file& file) {
  struct stat status {};
  return fstat(file.fd, &status) == 0 && S_ISREG(status.st_mode);
}

void lock_file(open_file& file) {
  while (flock(file.fd, LOCK_EX) != 0 && errno == EINTR) {
  }
}

void unlock_file(open_file& file) { flock(file.fd, LOCK_UN); }

bool file_size(const open_file& file, uint64_t& size, std::string& why) {
  struct stat status {};
  if (fstat(file.fd, &status) != 0) {
    why = system_words(errno);
    return false;
  }
  size = static_cast<uint64_t>(status.st_size);
  return true;
}

bool read_at(const open_file& file, uint64_t offset, char* bytes, std::size_t count,
             std::string& why) {
  std::size_t got = 0;
  while (got < count) {
    const ssize_t n = pread(file.fd, bytes + got, count - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      why = n < 0 ? system_words(errno) : "the file is shorter than it was";
      return false;
    }
    got += static_cast<std::size_t>(n);
  }
  return true;
}

bool cut_file(open_file& file, uint64_t size, std::string& why) {
  if (ftruncate(file.fd, static_cast<off_t>(size)) == 0) return true;
  why = system_words(errno);
  return false;
}

long long write_once(open_file& file, std::string_view bytes, std::string& why) {
  ssize_t written;
  do {
    written = write(file.fd, bytes.data(), bytes.size());
  } while (written < 0 && errno == EINTR);
  if (written < 0) why = system_words(errno);
  return written;
}

bool flush_to_disk(open_file& file, std::string& why) {
  if (fsync(file.fd) == 0) return true;
  why = system_words(errno);
  return false;
}

bool close_file(open_file* file, std::string& why) {
  if (file == nullptr) return true;
  const bool closed = close(file->fd) == 0;
  if (!closed) why = system_words(errno);
  delete file;
  return closed;
}

bool put_in_place(const std::string& fresh, const std::string& path, bool replace, bool& taken,
                  std::string& why) {
  taken = false;
  if (!replace) {
    // A hard link refuses a name that exists, in one step: a file made
    // under that name meanwhile is never overwritten.
    if (link(fresh.c_str(), path.c_str()) == 0) {
      unlink(fresh.c_str());
      return true;
    }
    struct stat status {};
    // EEXIST, or a file system without hard links (FAT): look, then rename.
    if (errno == EEXIST || lstat(path.c_str(), &status) == 0) {
      taken = true;
      why = system_words(EEXIST);
      return false;
    }
  }
  if (rename(fresh.c_str(), path.c_str()) == 0) return true;
  why = system_words(errno);
  return false;
}

bool identity_of(const std::string& path, file_identity& identity) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return false;
  identity = {static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino)};
  return true;
}

void remove_file(const std::string& path) { unlink(path.c_str()); }

std::string no_space_words() { return system_words(ENOSPC); }
