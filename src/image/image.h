// An image: the bytes a run puts at each address of the target. The file
// is read whole (raw bytes, ELF, Intel HEX or S-records), made into
// segments, given the board's own bytes (patches), and named by the digest
// of what is written. ELF, HEX and S-record files carry their own
// addresses, and the gaps between their pieces (a boot block, an
// application, a data block) are neither erased nor written. This is all
// that the programmer and the station need to know of images.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/protocol.h"

// The file --------------------------------------------------------------

// Longest image path the tool accepts. A longer one is refused, never cut:
// the cut path may name another file, which would then be programmed.
inline constexpr std::size_t image_path_max = 255;

// Opens a regular file for binary reading; nullptr for anything else
// (missing, a directory, a FIFO that would block, a device) and for a path
// longer than image_path_max, saying why in `why`.
std::FILE* image_open(const std::string& path, std::string& why);

// Reads the whole file (opened from `path`) into `image`. False when its
// size is unknown, does not fit in 32 bits, cannot be allocated, or not
// every byte could be read, or the file holds more than its size said: a
// partly read image must never be programmed. Says why in `why`.
bool image_load(std::FILE* file, const std::string& path, std::vector<uint8_t>& image,
                std::string& why);

// Its format -------------------------------------------------------------

// Raw bytes, placed at --address, and the files firmware builds produce
// beside them, which carry their own addresses, and headers or text that
// must never reach flash byte for byte.
enum class image_format { raw, elf, intel_hex, s_record };

// The format a file's name gives: .hex, .ihex, .ihx and .h86 are Intel
// HEX; .srec, .s19, .s28, .s37 and .mot S-records; .elf and .axf ELF (in
// any case). None for any other name.
std::optional<image_format> image_format_by_name(std::string_view path);

// The format of the file at `path`: the one its name gives; else ELF by
// its magic, records when its first line that is not blank looks like one
// (read and refused when broken, as the readers below decide), raw bytes
// for anything else. A file meant as records is never programmed as raw
// text: one saved with a byte-order mark, in UTF-16 or with a bad checksum
// on its first line would land in flash as ASCII and pass the verify.
image_format recognise_image_format(std::span<const uint8_t> image, std::string_view path = {});

// The format as a message names it: "an intel hex file", "raw bytes".
const char* image_format_name(image_format format);

// The format as --format and the end object name it: bin, elf, ihex, srec.
const char* image_format_word(image_format format);

// Its segments -----------------------------------------------------------

struct image_segment {
  uint32_t address;
  // Never empty as a reader gives it; address + size is at most 2^32.
  std::vector<uint8_t> bytes;
};

// Reads an ELF, Intel HEX or S-record file into segments: sorted by address,
// none overlapping, pieces that touch merged into one. False, with one
// lower-case line in `why` naming what is wrong and where (line, program
// header), for a file that breaks its format's rules, holds no bytes to
// program, gives a byte twice or runs past the end of the address space.
// Raw bytes carry no address; they are refused here too.
bool read_image_segments(std::span<const uint8_t> file, image_format format,
                         std::vector<image_segment>& segments, std::string& why);

// The board's own bytes --------------------------------------------------

// Per-board bytes (--patch): a serial number, a calibration constant, a MAC
// address put into the image at a place its firmware reserves, so that each
// board gets the image with its own bytes in it.
struct image_patch {
  uint32_t address = 0;
  std::vector<uint8_t> bytes;  // 1 to patch_bytes_max
};

// What one patch may carry: a read or write block's worth.
inline constexpr std::size_t patch_bytes_max = 256;

// Puts every patch's bytes into the image, each where its address says.
// False, changing nothing, and why, when a patch does not lie wholly inside
// one segment (it would land where nothing is erased or written, or run off
// the image), or when two patches share a byte (which one is meant?).
bool apply_patches(std::span<image_segment> segments, std::span<const image_patch> patches,
                   std::string& why);

// The whole of it ----------------------------------------------------------

// An image file as a run programs it: the bytes at each address, and what
// the run's record names it by.
struct image_contents {
  // As forced, else as recognise_image_format says; none until the file
  // has been read whole.
  std::optional<image_format> format;
  // Lowest address first. Raw bytes are one segment at the address given,
  // of 0 bytes for an empty file.
  std::vector<image_segment> segments;
  uint32_t file_size = 0;
  std::string sha256;  // of the file as it is
};

// Why a file cannot be programmed.
enum class image_fault { none, cannot_open, cannot_read, does_not_fit };

// Opens the file at `path`, reads it whole and into segments as `forced`
// or its name and content say, raw bytes placed at `address`. A fault, and
// why in `why`, for a file that cannot be opened or read whole, one meant
// as records or ELF that breaks their rules (never programmed as raw
// bytes: its text or headers would land in flash and pass the verify), and
// raw bytes that would run past the end of the address space. The
// programmer reads its image so, and the station the image of all its runs.
image_fault read_image_file(const std::string& path, std::optional<image_format> forced,
                            uint32_t address, image_contents& image, std::string& why);

inline bool carries_addresses(const image_contents& image) {
  return image.format.value_or(image_format::raw) != image_format::raw;
}

// Its digest -------------------------------------------------------------

// SHA-256, so that a record of the run names exactly the bytes that were
// programmed. Written here rather than taken from a library because the
// tool is also built fully static, for Windows and for a bare Linux guest.
// 64 lower-case hex digits.
std::string sha256_hex(std::span<const uint8_t> bytes);

// The same of the pieces one after another, without joining them.
std::string sha256_hex(std::span<const std::span<const uint8_t>> pieces);
