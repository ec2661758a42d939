#include "cli/run_image.h"

#include <cstdio>

#include "image/image.h"

void load_run_image(const run_settings& settings, run_image& image) {
  const std::string& path = settings.image_path;
  image.format = settings.format.value_or(image_format::raw);
  std::string why;
  std::FILE* file = image_open(path, why);
  if (file == nullptr) {
    image.failure = file_failed{.kind = file_failed::cannot_open, .path = path, .reason = why};
    return;
  }
  std::vector<uint8_t> bytes;
  const bool loaded = image_load(file, path, bytes, why);
  std::fclose(file);
  if (!loaded) {
    image.failure = file_failed{.kind = file_failed::cannot_read, .path = path, .reason = why};
    return;
  }
  image.file_size = static_cast<uint32_t>(bytes.size());
  image.sha256 = sha256_hex(bytes);
  if (!settings.format) image.format = recognise_image_format(bytes);
  if (carries_addresses(image)) {
    // A file that was meant to be records or an ELF file and breaks their
    // rules is never programmed as raw bytes: its text or headers would
    // land in flash and pass the verify.
    if (!read_image_segments(bytes, image.format, image.segments, why)) {
      image.failure = file_failed{
          .kind = file_failed::cannot_read,
          .path = path,
          .reason = std::string("read as ") + image_format_name(image.format) + ": " + why};
    }
    return;
  }
  // Past 2^32 the block addresses would wrap to 0 and write flash that the
  // sector choice never erased.
  if (uint64_t{settings.address} + bytes.size() > uint64_t{1} << 32) {
    image.failure = file_failed{.kind = file_failed::does_not_fit,
                                .path = path,
                                .reason = "it would run past the end of the address space",
                                .address = settings.address,
                                .size = image.file_size};
    return;
  }
  image.segments.push_back({settings.address, std::move(bytes)});
}
