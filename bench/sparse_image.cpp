#include "sparse_image.h"

#include <algorithm>
#include <vector>

#include "stats.h"
#include "support/image_builders.h"
#include "support/test_files.h"

namespace {

// A boot block in sector 0, then the application from sector 4 on: sectors
// 1 to 3 are the gap.
constexpr uint32_t boot_address = 0x20000000;
constexpr uint32_t boot_size = 4 * 1024;
constexpr uint32_t application_address = 0x20008000;
constexpr uint32_t application_size = 24 * 1024;
constexpr uint8_t erased_byte = 0xFF;  // what a build pads a gap with

}  // namespace

sparse_image_figures measure_sparse_image(const bench_paths& paths, uint32_t baud, int runs,
                                          const std::string& dir) {
  const std::vector<placed_bytes> pieces = {
      {boot_address, pattern_bytes(boot_size, 31)},
      {application_address, pattern_bytes(application_size, 32)}};
  std::vector<uint8_t> padded(application_address + application_size - boot_address, erased_byte);
  std::vector<image_range> ranges;
  for (const placed_bytes& p : pieces) {
    std::copy(p.bytes.begin(), p.bytes.end(), padded.begin() + (p.address - boot_address));
    ranges.push_back({p.address, static_cast<uint32_t>(p.bytes.size())});
  }
  const std::string padded_path = dir + "/sparse-padded.bin";
  const std::string hex_path = dir + "/sparse.hex";
  write_file(padded_path, padded);
  const std::string hex = intel_hex_file(pieces);
  write_file(hex_path, std::vector<uint8_t>(hex.begin(), hex.end()));

  sparse_image_figures figures;
  figures.padded_size = static_cast<uint32_t>(padded.size());
  figures.placed_size = boot_size + application_size;
  figures.padded_wire = count_run(boot_address, figures.padded_size, true, true);
  figures.hex_wire = count_run(ranges, true, true);
  std::vector<double> padded_s, hex_s;
  for (int r = 0; r < runs; ++r) {
    for (const bool as_hex : {false, true}) {
      // The binary goes to --address's default, where the boot block is.
      const tool_run run = run_tool(paths, baud, as_hex ? hex_path : padded_path, true, true);
      if (!run.ok) {
        figures.every_run_ok = false;
        continue;
      }
      (as_hex ? hex_s : padded_s).push_back(run.prog.seconds);
    }
  }
  figures.padded_s = median_of(padded_s);
  figures.hex_s = median_of(hex_s);
  return figures;
}
