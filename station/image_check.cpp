#include "image_check.h"

#include "image/image.h"

bool image_usable(const run_settings& run, std::string& sha256, std::string& why) {
  image_contents image;
  std::string reason;
  const std::string& path = run.image_path;
  switch (read_image_file(path, run.format, run.address, image, reason)) {
    case image_fault::none:
      break;
    case image_fault::cannot_open:
      why = "cannot open the image " + path + ": " + reason;
      return false;
    case image_fault::cannot_read:
      why = "cannot read the image " + path + ": " + reason;
      return false;
    case image_fault::does_not_fit:
      why = "the image " + path + " does not fit at its address: " + reason;
      return false;
  }
  sha256 = image.sha256;
  std::string refused = refusal_with_image(run, image);
  if (refused.empty() && apply_patches(image.segments, run.patches, refused)) return true;
  why = "vexlor-prog would refuse its words: " + refused;
  return false;
}
