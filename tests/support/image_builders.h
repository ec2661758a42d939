// Images that carry their own addresses, built in code for the tests, the
// fuzzers' seeds and the benchmarks: Intel HEX and S-record text with real
// checksums, and ELF files of either class and byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct placed_bytes {
  uint32_t address;
  std::vector<uint8_t> bytes;
};

// One record, checksum included, without its line end.
std::string intel_hex_record(uint8_t type, uint16_t offset, const std::vector<uint8_t>& data);
std::string s_record(char type, uint32_t address, const std::vector<uint8_t>& data);

// Whole files as a build writes them, lines ending in LF. Intel HEX: an
// extended linear address record wherever the upper 16 bits change, data
// records of up to `record_size` bytes that never cross a 64 KiB boundary,
// the end-of-file record. S-records: an S0 header, S3 data records, an S7 end.
std::string intel_hex_file(const std::vector<placed_bytes>& pieces, std::size_t record_size = 16);
std::string s_record_file(const std::vector<placed_bytes>& pieces, std::size_t record_size = 16);

// A record file (lines ending in LF) as editors and tools save it, each
// way with its name: a UTF-8 byte-order mark, UTF-16 little- and big-endian
// with and without its mark (PowerShell's ">"), CRLF line ends, blank lines
// before, between and after the records, spaces and tabs at the lines'
// ends, a DOS end-of-file byte at the end; for S-records, in lower case.
struct saved_text {
  std::string how;
  std::vector<uint8_t> bytes;
};
std::vector<saved_text> as_editors_save(const std::string& text);

struct elf_program {
  uint32_t type;  // 1 is a loadable segment
  uint64_t physical_address;
  std::vector<uint8_t> bytes;
  uint64_t memory_tail = 0;  // zero-filled bytes beyond the file's (.bss)
};

// A file header, the program headers right after it, then each program's
// bytes. The virtual addresses differ from the physical ones, as a build's
// initialised data does, so that a reader taking the wrong one shows.
std::vector<uint8_t> elf_file(bool wide, bool big_endian, const std::vector<elf_program>& programs);
