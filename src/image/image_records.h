// Intel HEX and S-records: text files of one record per line, each with a
// byte count and a checksum, which firmware builds write beside the binary.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "image/image.h"
#include "image_piece.h"

// The records a file's first line that is not blank looks like: ":" and
// hex digits, or "S" (or "s"), a digit and hex digits, read as the readers
// below read lines; raw when it looks like neither. A file that looks like
// records is read as records and refused when broken, never programmed as
// raw text.
image_format record_format_of_first_line(std::span<const uint8_t> file);

// Every data record's bytes, decoded into `data`, as pieces whose origin is
// the record's line number. Files are taken as editors and tools save them:
// UTF-8 with a byte-order mark, UTF-16 of ASCII characters (little- or
// big-endian, with or without its mark), lines ending in LF, CRLF or CR,
// spaces and tabs at a line's end, blank lines anywhere, a DOS end-of-file
// byte (0x1a) at the end. False with a reason naming the line for a malformed record, a
// record after the end record, or a file without its end record (cut short).
bool read_intel_hex_pieces(std::span<const uint8_t> file, std::vector<image_piece>& pieces,
                           std::vector<uint8_t>& data, std::string& why);
bool read_s_record_pieces(std::span<const uint8_t> file, std::vector<image_piece>& pieces,
                          std::vector<uint8_t>& data, std::string& why);
