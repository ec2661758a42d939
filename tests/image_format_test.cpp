#include "image/image.h"
#include "options/options.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/image_builders.h"
#include "support/test_files.h"

namespace {

using bytes = std::vector<uint8_t>;

// "0x20000000+300#9f3e21c4 0x20004000+8193#...": what a reader placed
// where, with a digest of the bytes (FNV-1a), so that a byte lost or out of
// place shows.
std::string layout(const std::vector<placed_bytes>& pieces) {
  std::string text;
  char piece[48];
  for (const placed_bytes& p : pieces) {
    uint32_t digest = 2166136261u;
    for (uint8_t b : p.bytes) digest = (digest ^ b) * 16777619u;
    std::snprintf(piece, sizeof piece, "%s0x%08X+%zu#%08x", text.empty() ? "" : " ", p.address,
                  p.bytes.size(), digest);
    text += piece;
  }
  return text;
}

std::vector<placed_bytes> placed(const std::vector<image_segment>& segments) {
  std::vector<placed_bytes> pieces;
  for (const image_segment& s : segments) pieces.push_back({s.address, s.bytes});
  return pieces;
}

// A boot block in sector 0, an application across sectors 2 and 3 (a gap
// before it), a data block in sector 17.
const bytes boot = pattern_bytes(300, 1);
const bytes application = pattern_bytes(0x2001, 2);
const bytes data_block = pattern_bytes(100, 3);
const std::vector<placed_bytes> three_blocks = {
    {0x20000000, boot}, {0x20004000, application}, {0x200C2000, data_block}};

bytes part(const bytes& from, std::size_t first, std::size_t size) {
  return bytes(from.begin() + static_cast<std::ptrdiff_t>(first),
               from.begin() + static_cast<std::ptrdiff_t>(first + size));
}

bytes lines(const std::vector<std::string>& records) {
  std::string text;
  for (const std::string& r : records) text += r + "\n";
  return text_bytes(text);
}

const std::string hex_end = intel_hex_record(1, 0, {});
const std::string hex_upper_2000 = intel_hex_record(4, 0, {0x20, 0x00});
const std::string hex_eight = intel_hex_record(0, 0, pattern_bytes(8, 4));
const std::string s_end = s_record('9', 0, {});

const std::vector<elf_program> elf_blocks = {
    {6, 0x20000000, pattern_bytes(32, 5)},  // the program header table's own entry: not loaded
    {1, 0x20000000, boot},
    {1, 0x20004000, application, 0x400},  // .data and its .bss tail
    {1, 0x20008000, {}, 0x1000},          // .bss alone: nothing in the file
    {1, 0x200C2000, data_block}};

bytes changed(bytes file, std::size_t at, uint8_t value) {
  file[at] = value;
  return file;
}

bytes cut(bytes file, std::size_t size) {
  file.resize(size);
  return file;
}

}  // namespace

TEST(ImageFormat, ImagesAreReadAsSegmentsOrRefusedWithAReason) {
  struct image_case {
    std::string what;
    bytes file;
    image_format read_as;   // as recognised, or as forced
    std::string outcome;    // the segments' layout when read, else the reason
    bool forced = false;    // --format named read_as
    std::string path = "";  // the file's name
  };
  const image_format raw = image_format::raw;
  const image_format ihex = image_format::intel_hex;
  const image_format srec = image_format::s_record;
  const image_format elf_format = image_format::elf;
  const bytes eight = pattern_bytes(8, 4);
  const bytes sixteen = pattern_bytes(16, 6);
  const bytes hex_three = text_bytes(intel_hex_file(three_blocks));
  const bytes srec_three = text_bytes(s_record_file(three_blocks));
  const std::string three = layout(three_blocks);
  const std::string past_4_gib = "its bytes run past the end of the 4 GiB address space";
  const bytes elf_past_4_gib = elf_file(true, false, {{1, 0x100000000, eight}});
  // UTF-16 with its mark, one character of its last line beyond ASCII.
  const auto hex_three_lines = std::count(hex_three.begin(), hex_three.end(), '\n');
  const bytes utf16 = as_editors_save(intel_hex_file(three_blocks))[1].bytes;
  const bytes utf16_beyond_ascii = changed(utf16, utf16.size() - 3, 0x20);
  const std::vector<image_case> cases = {
      // Raw bytes, by content or by choice.
      {"empty", {}, raw, ""},
      {"raw bytes that begin with S", text_bytes("Some text\n"), raw, ""},
      {"three bytes of the elf magic", text_bytes("\177EL"), raw, ""},
      {"a hex file forced to bin", hex_three, raw, "", true},
      {"a line of hex digits after a blank line, a name that says nothing", text_bytes("\n:0123\n"),
       ihex, "line 2: too short for an intel hex record", false, "fw.bin"},
      {"raw bytes named .mot", text_bytes("Some text\n"), srec,
       "line 1: not an s-record: no 'S' and type digit at its start", false, "fw.mot"},
      {"an intel hex file named .axf", hex_three, elf_format,
       "not an elf file: it does not begin with the elf magic and identification", false, "fw.axf"},

      // A first line that looks like a record: records, never raw text.
      {"a bad checksum in the first hex record, a good end after it",
       text_bytes(":0400000001020304F3\n" + hex_end + "\n"), ihex,
       "line 1: checksum mismatch: its bytes sum to 0x01, not 0"},
      {"a hex count that disagrees with the first record's data",
       text_bytes(":0500000001020304F2\n" + hex_end + "\n"), ihex,
       "line 1: its count says 5 data bytes, it holds 4"},
      {"an s-record with a bad checksum", text_bytes("S107000001020304EF\n"), srec,
       "line 1: checksum mismatch: its bytes sum to 0x00, not 0xff"},
      {"the reserved s-record type S4", text_bytes("S4030000FC\n"), srec,
       "line 1: record type S4, which is reserved"},
      {"an s-record too short for its address", text_bytes("s3030000fc\n"), srec,
       "line 1: too short for an S3 record"},
      {"utf-16 with a character beyond ascii", utf16_beyond_ascii, ihex,
       "line " + std::to_string(hex_three_lines) + ": a character that is no hex digit"},

      // Intel HEX.
      {"intel hex: three blocks across sectors", hex_three, ihex, three},
      {"intel hex: the longest records", text_bytes(intel_hex_file(three_blocks, 255)), ihex,
       three},
      {"intel hex: out of order, touching, merged; CRLF, CR, lower case, empty lines",
       text_bytes(hex_upper_2000 + "\r\n" + intel_hex_record(0, 0x0010, part(sixteen, 8, 8)) +
                  "\r\n\r\n" + intel_hex_record(0, 0x0008, part(sixteen, 0, 8)) + "\r" +
                  ":00000001ff"),
       ihex, layout({{0x20000008, sixteen}})},
      {"intel hex: plain 16-bit addresses, segment addresses, start records ignored",
       lines({hex_eight, intel_hex_record(2, 0, {0x20, 0x00}), intel_hex_record(0, 0xFFF8, eight),
              intel_hex_record(3, 0, {0, 0, 1, 0}), intel_hex_record(5, 0, {0x20, 0, 0, 0}),
              hex_end}),
       ihex, layout({{0x0000, eight}, {0x2FFF8, eight}})},
      {"intel hex: a malformed record after valid ones",
       lines({hex_eight, ":0400000001020304F3", hex_end}), ihex,
       "line 2: checksum mismatch: its bytes sum to 0x01, not 0"},
      {"intel hex: terminal controls are not quoted", lines({hex_eight, ":04\x1b[2J", hex_end}),
       ihex, "line 2: a character that is no hex digit"},
      {"intel hex: an odd number of digits", lines({hex_eight, ":000000011", hex_end}), ihex,
       "line 2: an odd number of hex digits"},
      {"intel hex: too short", lines({hex_eight, ":0000", hex_end}), ihex,
       "line 2: too short for an intel hex record"},
      {"intel hex: longer than any record",
       lines({hex_eight, ":" + std::string(522, '0'), hex_end}), ihex,
       "line 2: longer than any record"},
      {"intel hex: count disagrees", lines({hex_eight, ":0500000001020304F2", hex_end}), ihex,
       "line 2: its count says 5 data bytes, it holds 4"},
      {"intel hex: unknown type", lines({hex_eight, intel_hex_record(6, 0, {}), hex_end}), ihex,
       "line 2: unknown record type 0x06"},
      {"intel hex: a line that is no record", lines({hex_eight, "S0", hex_end}), ihex,
       "line 2: not an intel hex record: no ':' at its start"},
      {"intel hex: an address record of the wrong size",
       lines({intel_hex_record(4, 0, {0x20, 0, 0}), hex_eight, hex_end}), ihex,
       "line 1: a type 0x04 record holds 2 data bytes, this one 3"},
      {"intel hex: cut short, no end-of-file record", lines({hex_eight}), ihex,
       "no end-of-file record after line 1: the file may be cut short"},
      {"intel hex: a record after the end", lines({hex_eight, hex_end, hex_eight}), ihex,
       "line 3: a record after the end-of-file record of line 2"},
      {"intel hex: nothing but the end", lines({hex_end}), ihex,
       "no data records: nothing to program"},
      {"intel hex: data wrapping inside its segment",
       lines({intel_hex_record(2, 0, {0x20, 0x00}), intel_hex_record(0, 0xFFFC, eight), hex_end}),
       ihex, "line 2: its data runs past the end of its 64 KiB segment"},
      {"intel hex: a byte given twice",
       lines({hex_upper_2000, intel_hex_record(0, 0x0004, eight), hex_eight, hex_end}), ihex,
       "lines 2 and 3 both give the byte at 0x20000004"},
      {"intel hex: past 4 GiB",
       lines({intel_hex_record(4, 0, {0xFF, 0xFF}), intel_hex_record(0, 0xFFFC, eight), hex_end}),
       ihex, "line 2: " + past_4_gib},

      // S-records.
      {"s-records: three blocks across sectors", srec_three, srec, three},
      {"s-records: the longest records", text_bytes(s_record_file(three_blocks, 250)), srec, three},
      {"s-records: S1, S2 and S3, a count, touching records merged, ending at 4 GiB",
       lines({s_record('0', 0, {}), s_record('1', 0x1000, eight),
              s_record('2', 0x200008, part(sixteen, 8, 8)),
              s_record('2', 0x200000, part(sixteen, 0, 8)), s_record('3', 0xFFFFFFF8, eight),
              s_record('5', 4, {}), s_record('8', 0, {})}),
       srec, layout({{0x1000, eight}, {0x200000, sixteen}, {0xFFFFFFF8, eight}})},
      {"s-records: a bad checksum after valid ones",
       lines({s_record('1', 0, eight), "S107000001020304EF", s_end}), srec,
       "line 2: checksum mismatch: its bytes sum to 0x00, not 0xff"},
      {"s-records: reserved S4 after valid ones",
       lines({s_record('1', 0, eight), "S4030000FC", s_end}), srec,
       "line 2: record type S4, which is reserved"},
      {"s-records: too short for its address",
       lines({s_record('1', 0, eight), "S3030000FC", s_end}), srec,
       "line 2: too short for an S3 record"},
      {"s-records: count disagrees", lines({s_record('1', 0, eight), "S1070000010203EE", s_end}),
       srec, "line 2: its count says 7 bytes follow, 6 do"},
      {"s-records: a data record lost before the count",
       lines({s_record('1', 0, eight), s_record('5', 2, {}), s_end}), srec,
       "line 2: the count record says 2 data records, 1 came before it"},
      {"s-records: an end record with data",
       lines({s_record('1', 0, eight), s_record('9', 0, {1, 2, 3})}), srec,
       "line 2: an S9 record carries no data, this one 3 bytes"},
      {"s-records: a record after the end",
       lines({s_record('1', 0, eight), s_end, s_record('1', 8, eight)}), srec,
       "line 3: a record after the end record of line 2"},
      {"s-records: cut short, no end record", lines({s_record('1', 0, eight)}), srec,
       "no end record after line 1: the file may be cut short"},
      {"s-records: nothing but a header and an end", lines({s_record('0', 0, {}), s_end}), srec,
       "no data records: nothing to program"},
      {"s-records: a byte given twice",
       lines({s_record('3', 0x20000000, eight), s_record('3', 0x20000007, eight), s_end}), srec,
       "lines 1 and 2 both give the byte at 0x20000007"},
      {"s-records: past 4 GiB", lines({s_record('3', 0xFFFFFFF9, eight), s_end}), srec,
       "line 1: " + past_4_gib},

      // ELF, each class and byte order; only loadable file bytes count, at
      // their physical address.
      {"elf 32-bit little-endian", elf_file(false, false, elf_blocks), elf_format, three},
      {"elf 32-bit big-endian", elf_file(false, true, elf_blocks), elf_format, three},
      {"elf 64-bit little-endian", elf_file(true, false, elf_blocks), elf_format, three},
      {"elf 64-bit big-endian", elf_file(true, true, elf_blocks), elf_format, three},
      {"elf: touching segments merged",
       elf_file(false, false,
                {{1, 0x20000008, part(sixteen, 8, 8)}, {1, 0x20000000, part(sixteen, 0, 8)}}),
       elf_format, layout({{0x20000000, sixteen}})},
      {"elf: unknown class", changed(elf_file(false, false, elf_blocks), 4, 3), elf_format,
       "unknown elf class 3: neither 32- nor 64-bit"},
      {"elf: unknown byte order", changed(elf_file(true, false, elf_blocks), 5, 0), elf_format,
       "unknown elf byte order 0: neither little- nor big-endian"},
      {"elf: header cut short", cut(elf_file(true, false, elf_blocks), 40), elf_format,
       "elf header cut short: the file holds 40 of its 64 bytes"},
      {"elf: program headers cut short", cut(elf_file(false, false, elf_blocks), 52 + 32 * 5 - 1),
       elf_format, "the program headers run past the end of the file"},
      {"elf: program header entries too small", changed(elf_file(false, false, elf_blocks), 42, 31),
       elf_format, "program headers of 31 bytes, fewer than the 32 of one entry"},
      {"elf: segment bytes cut short",
       cut(elf_file(true, true, elf_blocks), 64 + 56 * 5 + 32 + 300 + 0x2001), elf_format,
       "program header 4: its bytes run past the end of the file"},
      {"elf: no loadable bytes",
       elf_file(false, true, {{4, 0x20000000, eight}, {1, 0x20000000, {}, 8}}), elf_format,
       "no loadable bytes: no program header loads bytes from the file"},
      {"elf: a byte given twice",
       elf_file(false, false, {{1, 0x20000000, sixteen}, {1, 0x20000008, eight}}), elf_format,
       "program headers 0 and 1 both give the byte at 0x20000008"},
      {"elf: the same file bytes loaded again and again",
       changed(
           changed(elf_file(false, false, {{1, 0x20000000, eight}, {1, 0x20001000, eight}}), 88, 0),
           100, 52 + 64 + 16),
       elf_format, "the program headers load more bytes than the file holds"},
      {"elf: past 4 GiB", elf_past_4_gib, elf_format, "program header 0: " + past_4_gib},

      // Forced formats that the file fails.
      {"an s-record file forced to intel hex", srec_three, ihex,
       "line 1: not an intel hex record: no ':' at its start", true},
      {"an intel hex file forced to s-records", hex_three, srec,
       "line 1: not an s-record: no 'S' and type digit at its start", true},
      {"an intel hex file forced to elf", hex_three, elf_format,
       "not an elf file: it does not begin with the elf magic and identification", true},
      {"raw bytes forced to intel hex", pattern_bytes(64, 7), ihex,
       "line 1: not an intel hex record: no ':' at its start", true},
  };
  for (const image_case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.forced) {
      EXPECT_EQ(recognise_image_format(c.file, c.path), c.read_as);
    }
    if (c.read_as == image_format::raw) continue;
    std::vector<image_segment> segments;
    std::string why;
    if (read_image_segments(c.file, c.read_as, segments, why)) {
      EXPECT_EQ(layout(placed(segments)), c.outcome);
    } else {
      EXPECT_EQ(why, c.outcome);
      EXPECT_TRUE(segments.empty());
      EXPECT_LE(why.size(), 100u) << "a reason is one short line";
    }
  }
}

TEST(ImageFormat, FormatOptionNamesEachReadingOrIsRefused) {
  struct option_case {
    std::string value;
    bool accepted;
    std::optional<image_format> forced;
  };
  const std::vector<option_case> cases = {
      {"auto", true, std::nullopt},
      {"bin", true, image_format::raw},
      {"ihex", true, image_format::intel_hex},
      {"srec", true, image_format::s_record},
      {"elf", true, image_format::elf},
      {"", false, std::nullopt},
      {"ELF", false, std::nullopt},
      {"hex", false, std::nullopt},
      {"elf ", false, std::nullopt},
  };
  for (const option_case& c : cases) {
    SCOPED_TRACE("--format '" + c.value + "'");
    std::optional<image_format> forced = image_format::elf;
    std::string why;
    EXPECT_EQ(parse_image_format_option(c.value, forced, why), c.accepted);
    if (c.accepted) {
      EXPECT_EQ(forced, c.forced);
    }
    EXPECT_EQ(why, c.accepted ? "" : "--format takes auto, bin, ihex, srec or elf");
  }
}

// A patch shares no byte with another, whichever of the two was given
// first, but may end where the next begins; refused, the image is as it was.
TEST(ImagePatch, PatchesMayTouchButShareNoByte) {
  struct patch_case {
    std::string what;
    std::vector<image_patch> patches;
    std::string outcome;  // the image's layout when patched, else the reason
  };
  const uint32_t at = 0x20000000;
  const bytes image = pattern_bytes(16, 8);
  bytes touching = image;
  touching[4] = 0xA1;
  touching[5] = 0xB2;
  const std::vector<patch_case> cases = {
      {"ending where the next begins",
       {{at + 4, {0xA1}}, {at + 5, {0xB2}}},
       layout({{at, touching}})},
      {"ending where an earlier one begins",
       {{at + 5, {0xB2}}, {at + 4, {0xA1}}},
       layout({{at, touching}})},
      {"its first byte an earlier one's last",
       {{at + 5, {1, 2}}, {at + 6, {3}}},
       "the patch of 2 byte(s) at 0x20000005 and the patch of 1 byte(s) at 0x20000006 overlap"},
      {"its last byte an earlier one's first",
       {{at + 5, {1, 2}}, {at + 4, {3, 4}}},
       "the patch of 2 byte(s) at 0x20000005 and the patch of 2 byte(s) at 0x20000004 overlap"},
  };
  for (const patch_case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<image_segment> segments{{at, image}};
    std::string why;
    if (apply_patches(segments, c.patches, why)) {
      EXPECT_EQ(layout(placed(segments)), c.outcome);
    } else {
      EXPECT_EQ(why, c.outcome);
      EXPECT_TRUE(segments[0].bytes == image);
    }
  }
}
