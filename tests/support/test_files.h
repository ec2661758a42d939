// Files for a test's or a benchmark's run: a scratch directory, images and
// dumps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A fresh directory for one test's files; removed by the caller if wanted.
std::string make_test_dir();

std::vector<uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);

// An image of `size` bytes that look random (xorshift) and differ with every
// seed, so that a block out of place or a byte lost shows.
std::vector<uint8_t> pattern_bytes(std::size_t size, uint32_t seed);
