#include "image/image.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>
#include <new>
#include <system_error>

namespace {

std::string lower_case(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

std::FILE* image_open(const std::string& path, std::string& why) {
  if (path.size() > image_path_max) {
    why = "path longer than " + std::to_string(image_path_max) + " characters";
    return nullptr;
  }
  std::error_code error;
  const auto status = std::filesystem::status(std::filesystem::path(path), error);
  if (status.type() == std::filesystem::file_type::not_found) {
    why = "no such file";
    return nullptr;
  }
  if (status.type() == std::filesystem::file_type::directory) {
    why = "is a directory";
    return nullptr;
  }
  if (error && error.value() == EACCES) {
    why = "permission denied";
    return nullptr;
  }
  if (error || status.type() != std::filesystem::file_type::regular) {
    why = error ? lower_case(error.message()) : "not a regular file";
    return nullptr;
  }
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr)
    why = errno == EACCES ? "permission denied" : lower_case(std::strerror(errno));
  return file;
}

bool image_load(std::FILE* file, const std::string& path, std::vector<uint8_t>& image,
                std::string& why) {
  const std::string too_large = "larger than 4 GiB - 1, the most a target address range holds";
  why = "the file could not be read whole";
  // Where a long is 32 bits (Windows), the position of a file of 4 GiB or
  // more cannot be told; the file system still knows its size.
  std::error_code error;
  const auto listed = std::filesystem::file_size(std::filesystem::path(path), error);
  if (!error && listed > std::numeric_limits<uint32_t>::max()) {
    why = too_large;
    return false;
  }
  if (std::fseek(file, 0, SEEK_END) != 0) return false;
  const long end = std::ftell(file);
  if (end < 0) return false;
  if (static_cast<unsigned long long>(end) > std::numeric_limits<uint32_t>::max()) {
    why = too_large;
    return false;
  }
  const auto size = static_cast<std::size_t>(end);
  try {
    image.resize(size);
  } catch (const std::bad_alloc&) {
    why = "not enough memory for " + std::to_string(size) + " bytes";
    return false;
  }
  if (std::fseek(file, 0, SEEK_SET) != 0) return false;
  if (size > 0 && std::fread(image.data(), 1, size, file) != size) return false;
  // A file that has more than its size said (one that grew meanwhile, or a
  // /proc file that says 0) would be programmed only in part.
  if (std::fgetc(file) != EOF) {
    why = "the file grew while it was read";
    return false;
  }
  why.clear();
  return true;
}
