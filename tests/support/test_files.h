// Files for a test's or a benchmark's run: a scratch directory, images and
// dumps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// A fresh directory for one test's files; removed by the caller if wanted.
std::string make_test_dir();

std::vector<uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);
std::string read_text(const std::string& path);
inline std::vector<uint8_t> text_bytes(std::string_view text) { return {text.begin(), text.end()}; }

// The names of what is in `dir`, to show that nothing was left behind.
std::set<std::string> file_names_in(const std::string& dir);

// An image of `size` bytes that look random (xorshift) and differ with every
// seed, so that a block out of place or a byte lost shows.
std::vector<uint8_t> pattern_bytes(std::size_t size, uint32_t seed);

// A small tmpfs of `pages` pages at `folder` (made), unmounted when it goes:
// a disk that fills up, or one that turns read-only. Mounting needs root
// (CI runs as root): elsewhere `mounted` is false.
struct small_disk {
  std::string folder;
  bool mounted = false;
  small_disk(const std::string& at, int pages);
  ~small_disk();
  small_disk(const small_disk&) = delete;
  small_disk& operator=(const small_disk&) = delete;
  // Mounted again read-only: nothing in it can be written.
  bool make_read_only() const;
};
