#include "image_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "files/whole_file.h"

bool load_image(sim_memory& memory, uint32_t address, const std::string& path, std::string& error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = "--load " + path + ": " + std::strerror(errno);
    return false;
  }
  std::vector<uint8_t> chunk(64 * 1024);
  for (;;) {
    ssize_t got = read(fd, chunk.data(), chunk.size());
    if (got < 0) {
      error = "--load " + path + ": " + std::strerror(errno);
      close(fd);
      return false;
    }
    if (got == 0) break;
    memory_store(memory, address, std::span(chunk).first(static_cast<std::size_t>(got)));
    address += static_cast<uint32_t>(got);
  }
  close(fd);
  return true;
}

bool dump_image(const sim_memory& memory, uint32_t address, uint32_t size, const std::string& path,
                std::string& error) {
  // Whole or not at all: a script that compares the dump after the
  // simulator has gone never reads one cut short.
  whole_file_place place;
  whole_file file;
  file_failure failure;
  bool written =
      whole_file_place_of(path, place, failure) && whole_file_begin(place, file, failure);
  std::vector<uint8_t> chunk(64 * 1024);
  for (uint32_t done = 0; written && done < size;) {
    const uint32_t count = std::min<uint32_t>(size - done, static_cast<uint32_t>(chunk.size()));
    memory_read(memory, address + done, std::span(chunk).first(count));
    written = whole_file_write(
        file, std::string_view(reinterpret_cast<const char*>(chunk.data()), count), failure);
    done += count;
  }
  if (file.file != nullptr) written = whole_file_end(file, written, true, failure) && written;
  if (!written) error = "--dump " + path + ": " + failure.words;
  return written;
}
