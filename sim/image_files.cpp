#include "image_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

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
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<uint8_t> chunk(64 * 1024);
  for (uint32_t done = 0; out && done < size;) {
    uint32_t count = std::min<uint32_t>(size - done, static_cast<uint32_t>(chunk.size()));
    memory_read(memory, address + done, std::span(chunk).first(count));
    out.write(reinterpret_cast<const char*>(chunk.data()), count);
    done += count;
  }
  out.close();
  if (!out) {
    error = "--dump " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}
