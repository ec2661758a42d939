// The formats of an image file: raw bytes, placed at --address, and the
// files firmware builds produce beside them, ELF, Intel HEX and S-records,
// which carry their own addresses, and headers or text that must never
// reach flash byte for byte.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

enum class image_format { raw, elf, intel_hex, s_record };

// ELF by its magic; Intel HEX and S-records when the first line is a
// well-formed record with a valid checksum, so raw firmware that merely
// begins with ':' or 'S' stays raw.
image_format recognise_image_format(std::span<const uint8_t> image);

// The format as a message names it: "an intel hex file", "raw bytes".
const char* image_format_name(image_format format);

// --format's value: "auto" (nothing forced: the content decides), "bin"
// (raw bytes, whatever they look like), "ihex", "srec" or "elf". False for
// any other word, saying which words there are in `why`.
bool parse_image_format_option(const std::string& value, std::optional<image_format>& forced,
                               std::string& why);
