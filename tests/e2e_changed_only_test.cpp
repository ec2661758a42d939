// --changed-only end to end: a board flashed and verified, then flashed
// again, on a simulator whose flash is kept between the runs. The wire shows
// what was erased, written and read back; whatever may have changed the
// board without a record of it leaves it flashed whole the next time.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include "support/e2e.h"

namespace fs = std::filesystem;

namespace {

using bytes = std::vector<uint8_t>;
using numbers = std::vector<int>;

constexpr uint32_t flash = 0x20000000;
constexpr uint32_t three_sectors = 0x6000;  // sectors 0 to 2
const std::string board_a = "0a1b2c3d4e5f60718293a4b5";
const std::string board_b = "0a1b2c3d4e5f60718293a4b6";
const wire_range id_read{read_command, 0x1FFF7A10, 12};
const wire_range sector_1_written{write_command, 0x20002000, 0x2000};
const wire_range sector_1_read{read_command, 0x20002000, 0x2000};

// One run of a row. Image 'A', or 'B': one byte other in sector 1.
struct step {
  char image = 'A';
  std::vector<std::string> words{"--verify"};  // after --changed-only --write
  numbers erased;
  std::string says = "";  // in its output
  int exit = 0;
  std::string board = board_a;
  std::vector<wire_range> wire = {};  // when given: the whole wire, the id's read first
  std::vector<std::string> sim = {};
  bool stopped = false;  // SIGTERM once its erase is done
  bool damage = false;   // a byte of the board's record changed before it
};

struct E2EChangedOnly : ::testing::Test {
  std::string dir = make_test_dir();
  void TearDown() override { fs::remove_all(dir); }

  // The board keeps its flash in memory-ID.bin from one run to the next.
  process_result run(const step& s, const std::string& cache, std::vector<sim_event>& log) {
    bytes image = pattern_bytes(three_sectors, 7);
    if (s.image == 'B') image[0x2005] ^= 0xFF;
    write_file(dir + "/image.bin", image);
    std::vector<std::string> words{"--board-id", "0x1FFF7A10:12", "--cache", cache};
    if (!s.words.empty() && s.words.front() == "--forget-board") {
      words.insert(words.end(), s.words.begin(), s.words.end());
      return run_programmer(dir, words);
    }
    words.insert(words.end(), {"--port", "@PORT", "--changed-only", "--write", "image.bin"});
    words.insert(words.end(), s.words.begin(), s.words.end());
    if (s.damage) {
      const std::string record = dir + "/" + cache + "/" + s.board + ".board";
      bytes text = read_file(record);
      text.at(text.size() / 2) ^= 0x01;  // a digit of a sector's digest
      write_file(record, text);
    }
    const std::string memory = "memory-" + s.board + ".bin";
    std::vector<std::string> sim_args{"--board-id", "0x1FFF7A10:" + s.board, "--dump",
                                      hex_address(flash) + ":24576:" + memory};
    if (fs::exists(dir + "/" + memory)) {
      sim_args.insert(sim_args.end(), {"--load", hex_address(flash) + ":" + memory});
    }
    sim_args.insert(sim_args.end(), s.sim.begin(), s.sim.end());
    sim_target sim = start_sim(dir, sim_args);
    process_result result;
    if (s.stopped) {
      std::vector<std::string> argv{VEXLOR_PROG_PATH};
      for (const std::string& w : words) argv.push_back(w == "@PORT" ? sim.pty_path : w);
      child_process child = start_process(argv, dir);
      // A sector's erase shows as its tail alone.
      std::string line;
      for (int i = 0; i < 10 && !line.starts_with("\b\b - OK"); ++i) line = read_line(child, 10);
      kill(child.pid, SIGTERM);
      result = wait_process(child, 10);
    } else {
      result = run_programmer(dir, words, sim.pty_path);
    }
    EXPECT_EQ(finish_sim(sim), 0);
    log = read_sim_log(sim.log_path);
    return result;
  }
};

}  // namespace

TEST_F(E2EChangedOnly, OnlyWhatChangedIsWrittenWhileTheRecordHolds) {
  const step whole{.erased = {0, 1, 2}};
  const step one_sector{.image = 'B',
                        .erased = {1},
                        .says =
                            "  sectors 0, 2 unchanged since the last flash of this board: "
                            "not written\n",
                        .wire = {id_read, sector_1_written, sector_1_read}};
  const step b_whole{.image = 'B', .erased = {0, 1, 2}};
  const std::string no_record = "  no record of what board " + board_a + " holds: flashing every";
  struct row {
    std::string what;
    std::vector<step> steps;
    bool cache_is_a_file = false;
    bool natively_only = false;
  };
  const std::vector<row> rows{
      // The record after it keeps the sectors it left as they were.
      {"one byte changed: its sector alone",
       {{.erased = {0, 1, 2}, .says = no_record}, one_sector, {.image = 'B'}}},
      {"nothing changed: nothing erased, written or read",
       {whole,
        {.erased = {},
         .says = "  sectors 0-2 unchanged since the last flash of this board: not written\n",
         .wire = {id_read}}}},
      {"--verify-all reads every sector",
       {whole,
        {.image = 'B',
         .words = {"--verify-all"},
         .erased = {1},
         .wire = {id_read, sector_1_written, {read_command, flash, three_sectors}}}}},
      {"--json: the skipped sectors, the end's count",
       {whole,
        {.image = 'B',
         .words = {"--verify", "--json"},
         .erased = {1},
         .says = "{\"event\":\"skipped\",\"sectors\":[0,2]}\n"},
        {.image = 'B', .words = {"--verify", "--json"}, .says = "\"sectors_written\":0}\n"}}},
      {"a failed write forgets the board",
       {whole,
        {.image = 'B', .erased = {1}, .exit = 1, .sim = {"--fault", "write.address:refuse@3"}},
        b_whole}},
      {"a write without a verify forgets the board",
       {whole, {.image = 'B', .words = {"--json"}, .erased = {1}}, b_whole}},
      {"a stopped write forgets the board",
       {whole,
        {.image = 'B', .erased = {1}, .exit = 143, .sim = {"--baud", "115200"}, .stopped = true},
        b_whole},
       false,
       true},
      {"--forget-board",
       {whole,
        {.words = {"--forget-board", board_a}, .says = "forgetting board " + board_a},
        b_whole}},
      {"an id that is one byte throughout: never a record",
       {{.erased = {0, 1, 2}, .says = "is the same byte throughout", .board = std::string(24, '0')},
        {.erased = {0, 1, 2}, .board = std::string(24, '0')}}},
      {"a damaged record: ignored with a warning, then kept anew",
       {whole,
        {.image = 'B',
         .erased = {0, 1, 2},
         .says = "  the record of board " + board_a +
                 " is damaged: its check does not match its lines: flashing every sector\n",
         .damage = true},
        {.image = 'B'}}},
      {"two boards, each its own record",
       {whole,
        {.erased = {0, 1, 2}, .board = board_b},
        one_sector,
        {.image = 'B', .erased = {1}, .board = board_b}}},
      {"a cache folder that cannot be made: a whole flash, and ok",
       {{.erased = {0, 1, 2}, .says = "holds cannot be kept (cannot make the folder"}, b_whole},
       true},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    if (r.natively_only && running_under_wine()) continue;
    const std::string cache = "cache-" + std::to_string(&r - rows.data());
    if (r.cache_is_a_file) write_file(dir + "/" + cache, {'x'});
    for (const step& s : r.steps) {
      SCOPED_TRACE(&s - r.steps.data());
      std::vector<sim_event> log;
      const process_result out = run(s, cache, log);
      EXPECT_EQ(out.exit_code, s.exit) << out.out;
      EXPECT_EQ(erased_sectors(log), s.erased);
      if (!s.says.empty()) {
        EXPECT_NE(out.out.find(s.says), std::string::npos) << out.out;
      }
      if (!s.wire.empty()) {
        EXPECT_EQ(wire_ranges(bytes_received(log)), s.wire);
      }
    }
  }
}
