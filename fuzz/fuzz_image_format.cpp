// The image file is untrusted input: any bytes at all must be classified
// without a crash, and a container may be claimed only where the bytes can
// be one.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "cli/image_format.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "image format check failed: %s\n", what);
  std::abort();
}

bool only_record_text(std::span<const uint8_t> bytes, bool s_record) {
  for (uint8_t b : bytes) {
    const bool hex = (b >= '0' && b <= '9') || (b >= 'A' && b <= 'F') || (b >= 'a' && b <= 'f');
    if (!hex && b != '\r' && b != '\n' && b != (s_record ? 'S' : ':')) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::span<const uint8_t> image(data, size);
  const image_format format = recognise_image_format(image);
  if ((format == image_format::raw) != (image_format_advice(format) == nullptr)) {
    fail("advice given for raw bytes, or missing for a container");
  }
  if (format == image_format::elf && (size < 4 || data[0] != 0x7F)) fail("elf without its magic");
  if (format == image_format::intel_hex && (data[0] != ':' || !only_record_text(image, false))) {
    fail("intel hex with bytes no record has");
  }
  if (format == image_format::s_record && (data[0] != 'S' || !only_record_text(image, true))) {
    fail("s-records with bytes no record has");
  }
  return 0;
}
