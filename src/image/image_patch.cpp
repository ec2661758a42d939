#include <cstdio>

#include "image/image.h"

namespace {

uint64_t end_of(const image_patch& patch) { return uint64_t{patch.address} + patch.bytes.size(); }

uint64_t end_of(const image_segment& segment) {
  return uint64_t{segment.address} + segment.bytes.size();
}

// "0x20000000-0x20000bb7": the first and last address, as the flash map's
// warnings write a range.
std::string range_text(uint32_t first, uint64_t end) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%08lx-0x%08lx", static_cast<unsigned long>(first),
                static_cast<unsigned long>(end - 1));
  return text;
}

std::string patch_name(const image_patch& patch) {
  char text[64];
  std::snprintf(text, sizeof text, "the patch of %zu byte(s) at 0x%08lx", patch.bytes.size(),
                static_cast<unsigned long>(patch.address));
  return text;
}

// " (0x20000000-0x2000012b, 0x20004000-0x20006000)": where a patch may go,
// the first few segments of an image in pieces, so that one put in a gap
// between them can be moved.
std::string segments_text(std::span<const image_segment> segments) {
  constexpr std::size_t most_shown = 4;
  std::string text;
  std::size_t shown = 0;
  for (const image_segment& segment : segments) {
    if (segment.bytes.empty()) continue;
    if (shown == most_shown) {
      text += ", ...";
      break;
    }
    text += (shown++ == 0 ? "" : ", ") + range_text(segment.address, end_of(segment));
  }
  return text.empty() ? text : " (" + text + ")";
}

image_segment* segment_holding(std::span<image_segment> segments, const image_patch& patch) {
  for (image_segment& segment : segments) {
    if (patch.address >= segment.address && end_of(patch) <= end_of(segment)) return &segment;
  }
  return nullptr;
}

}  // namespace

bool apply_patches(std::span<image_segment> segments, std::span<const image_patch> patches,
                   std::string& why) {
  for (std::size_t i = 0; i < patches.size(); ++i) {
    const image_patch& patch = patches[i];
    if (segment_holding(segments, patch) == nullptr) {
      why = patch_name(patch) + " does not lie inside the image" + segments_text(segments);
      return false;
    }
    for (std::size_t j = 0; j < i; ++j) {
      const image_patch& earlier = patches[j];
      if (patch.address < end_of(earlier) && earlier.address < end_of(patch)) {
        why = patch_name(earlier) + " and " + patch_name(patch) + " overlap";
        return false;
      }
    }
  }
  for (const image_patch& patch : patches) {
    image_segment& segment = *segment_holding(segments, patch);
    std::copy(patch.bytes.begin(), patch.bytes.end(),
              segment.bytes.begin() + (patch.address - segment.address));
  }
  return true;
}
