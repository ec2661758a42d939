// Container formats that firmware builds produce beside the raw image. The
// tool programs raw bytes only: one of these given by mistake would put its
// headers or its ASCII text into flash, and verify would still pass.
#pragma once

#include <cstdint>
#include <span>

enum class image_format { raw, elf, intel_hex, s_record };

// ELF by its magic; Intel HEX and S-records only when the whole file is
// well-formed records with valid checksums, so raw firmware that merely
// begins with ':' or 'S' stays raw.
image_format recognise_image_format(std::span<const uint8_t> image);

// One lower-case line naming the format and how to convert it, without the
// indent and line break; nullptr for raw bytes.
const char* image_format_advice(image_format format);
