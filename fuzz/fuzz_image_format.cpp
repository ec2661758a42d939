// The image file is untrusted input: any bytes at all (in any text
// encoding an editor may have saved) must be classified and, read as each
// container format in turn (as --format may force), give
// either segments that can be flashed as they are or one short line that
// says why not, without a crash, an overflow or a read past the file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "image/image.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "image format check failed: %s\n", what);
  std::abort();
}

// Sorted, apart (touching pieces are one), none empty, none past 2^32, and
// never more bytes than the file holds.
void check_segments(const std::vector<image_segment>& segments, std::size_t file_size) {
  if (segments.empty()) fail("read with no segment");
  uint64_t next_free = 0;
  uint64_t total = 0;
  for (const image_segment& s : segments) {
    if (s.bytes.empty()) fail("an empty segment");
    if (s.address < next_free) fail("segments out of order, touching or overlapping");
    next_free = uint64_t{s.address} + s.bytes.size() + 1;
    if (next_free - 1 > uint64_t{1} << 32) fail("a segment past the end of the address space");
    total += s.bytes.size();
  }
  if (total > file_size) fail("more bytes in the segments than in the file");
}

// One line of plain text a terminal can show: nothing from the file raw.
void check_reason(const std::string& why) {
  if (why.empty() || why.size() > 100) fail("a reason empty or longer than one short line");
  for (char c : why) {
    if (c < ' ' || c > '~') fail("a reason with a control or non-ASCII character");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::span<const uint8_t> image(data, size);
  const image_format format = recognise_image_format(image);
  if (format == image_format::elf && (size < 4 || data[0] != 0x7F)) fail("elf without its magic");
  for (image_format reading :
       {image_format::elf, image_format::intel_hex, image_format::s_record}) {
    std::vector<image_segment> segments;
    std::string why;
    if (read_image_segments(image, reading, segments, why)) {
      check_segments(segments, size);
    } else {
      check_reason(why);
      if (!segments.empty()) fail("segments left behind by a refusal");
    }
  }
  return 0;
}
