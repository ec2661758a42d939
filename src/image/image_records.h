// Intel HEX and S-records: text files of one record per line, each with a
// byte count and a checksum, which firmware builds write beside the binary.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "image_piece.h"

// True when the file's first line is a well-formed record with a valid
// checksum: the file was meant to be records, so a fault further on is the
// file's fault and no reason to program it as raw bytes.
bool begins_with_intel_hex_record(std::span<const uint8_t> file);
bool begins_with_s_record(std::span<const uint8_t> file);

// Every data record's bytes, decoded into `data`, as pieces whose origin is
// the record's line number (lines end in LF, CRLF or CR; empty lines are
// skipped). False with a reason naming the line for a malformed record, a
// record after the end record, or a file without its end record (cut short).
bool read_intel_hex_pieces(std::span<const uint8_t> file, std::vector<image_piece>& pieces,
                           std::vector<uint8_t>& data, std::string& why);
bool read_s_record_pieces(std::span<const uint8_t> file, std::vector<image_piece>& pieces,
                          std::vector<uint8_t>& data, std::string& why);
