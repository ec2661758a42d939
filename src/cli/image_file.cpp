#include "cli/image_file.h"

#include <filesystem>
#include <limits>
#include <new>
#include <system_error>

std::FILE* image_open(const std::string& path) {
  if (path.size() > image_path_max) return nullptr;
  std::error_code error;
  if (!std::filesystem::is_regular_file(std::filesystem::path(path), error)) return nullptr;
  return std::fopen(path.c_str(), "rb");
}

bool image_load(std::FILE* file, std::vector<uint8_t>& image) {
  if (std::fseek(file, 0, SEEK_END) != 0) return false;
  const long end = std::ftell(file);
  if (end < 0 || static_cast<unsigned long long>(end) > std::numeric_limits<uint32_t>::max()) {
    return false;
  }
  const auto size = static_cast<std::size_t>(end);
  try {
    image.resize(size);
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (std::fseek(file, 0, SEEK_SET) != 0) return false;
  if (size > 0 && std::fread(image.data(), 1, size, file) != size) return false;
  // A file that has more than its size said (one that grew meanwhile, or a
  // /proc file that says 0) would be programmed only in part.
  return std::fgetc(file) == EOF;
}
