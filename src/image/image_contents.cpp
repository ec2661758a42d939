#include <cstdio>

#include "image/image.h"

image_fault read_image_file(const std::string& path, std::optional<image_format> forced,
                            uint32_t address, image_contents& image, std::string& why) {
  image = {};
  std::FILE* file = image_open(path, why);
  if (file == nullptr) return image_fault::cannot_open;
  std::vector<uint8_t> bytes;
  const bool loaded = image_load(file, path, bytes, why);
  std::fclose(file);
  if (!loaded) return image_fault::cannot_read;
  image.file_size = static_cast<uint32_t>(bytes.size());
  image.sha256 = sha256_hex(bytes);
  image.format = forced ? *forced : recognise_image_format(bytes, path);
  if (carries_addresses(image)) {
    if (read_image_segments(bytes, *image.format, image.segments, why)) return image_fault::none;
    why = std::string("read as ") + image_format_name(*image.format) + ": " + why;
    return image_fault::cannot_read;
  }
  // Past 2^32 the block addresses would wrap to 0 and write flash that the
  // sector choice never erased.
  if (uint64_t{address} + bytes.size() > uint64_t{1} << 32) {
    why = "it would run past the end of the address space";
    return image_fault::does_not_fit;
  }
  image.segments.push_back({address, std::move(bytes)});
  return image_fault::none;
}
