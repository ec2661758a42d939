#include "cli/run_image.h"

std::optional<file_failed> load_run_image(const run_settings& settings, image_contents& image) {
  std::string why;
  const image_fault fault =
      read_image_file(settings.image_path, settings.format, settings.address, image, why);
  file_failed failure{.path = settings.image_path, .reason = why};
  switch (fault) {
    case image_fault::none:
      return std::nullopt;
    case image_fault::cannot_open:
      failure.kind = file_failed::cannot_open;
      break;
    case image_fault::cannot_read:
      failure.kind = file_failed::cannot_read;
      break;
    case image_fault::does_not_fit:
      failure.kind = file_failed::does_not_fit;
      failure.address = settings.address;
      failure.size = image.file_size;
      break;
  }
  return failure;
}
