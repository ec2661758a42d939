#include "support/test_files.h"

#include <sys/mount.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

std::string make_test_dir() {
  static std::atomic<int> counter{0};
  const fs::path dir = fs::temp_directory_path() / ("vexlor-test-" + std::to_string(getpid()) +
                                                    "-" + std::to_string(counter++));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir.string();
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> pattern_bytes(std::size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  return bytes;
}

std::string read_text(const std::string& path) {
  const std::vector<uint8_t> bytes = read_file(path);
  return {bytes.begin(), bytes.end()};
}

std::set<std::string> file_names_in(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

small_disk::small_disk(const std::string& at, int pages) : folder(at) {
  fs::create_directory(folder);
  const std::string size = "size=" + std::to_string(pages * 4) + "k";
  mounted = mount("tmpfs", folder.c_str(), "tmpfs", 0, size.c_str()) == 0;
}

small_disk::~small_disk() {
  if (mounted) umount2(folder.c_str(), MNT_DETACH);
}

bool small_disk::make_read_only() const {
  return mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
}
