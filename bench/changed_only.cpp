#include "changed_only.h"

#include <cstdio>
#include <filesystem>
#include <vector>

#include "protocol/protocol.h"
#include "stats.h"
#include "support/test_files.h"

namespace {

constexpr uint32_t image_address = 0x20000000;
constexpr uint32_t image_size = 256 * 1024;  // sectors 0 to 7, sector 1 one of 8 KiB
const char* const board_id = "0x1FFF7A10:0a1b2c3d4e5f60718293a4b5";

}  // namespace

changed_only_figures measure_changed_only(const bench_paths& paths, uint32_t baud, int runs,
                                          const std::string& dir) {
  const std::vector<uint8_t> flashed = pattern_bytes(image_size, 41);
  std::vector<uint8_t> one_sector = flashed;
  one_sector[sector_map[1].start - image_address + 0x10] ^= 0xFF;
  std::vector<uint8_t> every_sector = flashed;
  for (const flash_sector& sector : sector_map) {
    if (sector_touched(sector, image_address, image_size)) {
      every_sector[sector.start - image_address + 0x10] ^= 0xFF;
    }
  }
  const std::string flashed_path = dir + "/changed-flashed.bin";
  const std::string one_path = dir + "/changed-one.bin";
  const std::string every_path = dir + "/changed-every.bin";
  write_file(flashed_path, flashed);
  write_file(one_path, one_sector);
  write_file(every_path, every_sector);
  const std::string board = dir + "/changed-board.bin";  // the board's flash after the first
  const std::string after = dir + "/changed-after.bin";  // and after each measured run
  const std::string cache = dir + "/changed-cache";
  const std::string range = "0x20000000:" + std::to_string(image_size) + ":";
  const std::vector<std::string> changed_only{"--changed-only", "--board-id", "0x1FFF7A10:12",
                                              "--cache", cache};

  changed_only_figures figures;
  // The first flash of the board: whole, and its record made. It is not
  // measured, so a run that the machine's load failed is made again.
  bool made = false;
  for (int attempt = 0; attempt < 3 && !made; ++attempt) {
    const tool_run first =
        run_tool(paths, baud, flashed_path, true, true,
                 {"--board-id", board_id, "--dump", range + board}, changed_only);
    made = first.ok && read_file(board) == flashed;
    if (!made) {
      std::fprintf(stderr, "vexlor-bench: the first flash failed (exit %d)\n",
                   first.prog.exit_code);
    }
  }
  if (!made) {
    figures.every_run_ok = false;
    return figures;
  }
  const std::string record_path = cache + "/0a1b2c3d4e5f60718293a4b5.board";
  const std::vector<uint8_t> record = read_file(record_path);

  std::vector<double> plain_s, one_s, every_s;
  struct turn {
    const std::string& image;
    const std::vector<uint8_t>& bytes;
    bool changed;
    std::vector<double>& seconds;
  };
  const turn turns[] = {{one_path, one_sector, false, plain_s},
                        {one_path, one_sector, true, one_s},
                        {every_path, every_sector, true, every_s}};
  for (int r = 0; r < runs; ++r) {
    for (const turn& t : turns) {
      // Each run meets the board as the first flash left it, record and all.
      write_file(record_path, record);
      std::filesystem::remove(after);
      const tool_run run = run_tool(
          paths, baud, t.image, true, true,
          {"--board-id", board_id, "--load", "0x20000000:" + board, "--dump", range + after},
          t.changed ? changed_only : std::vector<std::string>{});
      if (!run.ok || read_file(after) != t.bytes) {
        std::fprintf(stderr, "vexlor-bench: %s run failed (exit %d)\n",
                     t.changed ? "a --changed-only" : "a plain", run.prog.exit_code);
        figures.every_run_ok = false;
        continue;
      }
      t.seconds.push_back(run.prog.seconds);
    }
  }
  figures.plain_s = median_of(plain_s);
  figures.one_sector_s = median_of(one_s);
  figures.every_sector_s = median_of(every_s);
  return figures;
}
