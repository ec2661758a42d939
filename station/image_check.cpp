#include "image_check.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "image/image.h"

bool image_usable(const std::string& path, bool allow_empty, std::string& why) {
  // Opened as vexlor-prog opens it, so that what it refuses is refused here.
  std::string refused;
  std::FILE* file = image_open(path, refused);
  if (file == nullptr) {
    why = "cannot open the image " + path + ": " + refused;
    return false;
  }
  // One byte tells both: the file can be read, and it holds something.
  errno = 0;
  const int first = std::fgetc(file);
  const bool unreadable = first == EOF && std::ferror(file) != 0;
  const int error = errno;
  std::fclose(file);
  if (unreadable) {
    why = "cannot read the image " + path + ": " + std::strerror(error);
  } else if (first == EOF && !allow_empty) {
    why = "the image " + path +
          " is empty, as a truncated build leaves it: give --allow-empty to flash it all the same";
  } else {
    return true;
  }
  return false;
}

std::string image_digest(const std::string& path) {
  std::string why;
  std::FILE* file = image_open(path, why);
  std::vector<uint8_t> bytes;
  const bool read = file != nullptr && image_load(file, path, bytes, why);
  if (file != nullptr) std::fclose(file);
  return read ? sha256_hex(bytes) : std::string();
}
