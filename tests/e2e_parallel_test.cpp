// Eight boards programmed at once, as on a production bench: eight
// simulators, eight programmer processes started together, each with its own
// image, address and sectors. Every image must arrive intact and every run
// succeed; nothing may leak between ports.
//
// The simulators do not pace bytes at a baud rate: eight of them waking for
// every byte, under the sanitizers on a loaded 2-core machine, now and then
// stall for longer than the 100 ms a read allows between two bytes, and fail
// a board for the harness's sake. Unpaced, each block goes out whole.
//
// Natively only: the Wine harness maps one COM name per test process, so
// eight concurrent runs cannot each get a port.
//
// The production-line script, scripts/flash-all.sh, runs the same way against
// a folder of links to simulators, as it runs against /dev/serial/by-id/.
#include <gtest/gtest.h>

#include <barrier>
#include <filesystem>
#include <sstream>
#include <thread>

#include "support/console_text.h"
#include "support/e2e.h"

namespace {

struct board {
  uint32_t address;
  std::size_t size;
  std::string dir;
  std::vector<uint8_t> image;
  process_result run;
  int sim_status = -1;
  std::vector<uint8_t> memory;
};

}  // namespace

TEST(ParallelBoards, EightBoardsAtOnceAllIntact) {
  if (running_under_wine()) GTEST_SKIP() << "one COM name per test process under Wine";
  std::vector<board> boards;
  for (uint32_t i = 0; i < 8; ++i) {
    board b;
    // Different sizes, block edges and sectors, two of them in the small block.
    b.address = i < 6 ? 0x20000000 + i * 0x2000 + i * 17 : 0x200C0000 + (i - 6) * 0x1800;
    b.size = 2000 + i * 1501;
    b.dir = make_test_dir();
    b.image = pattern_bytes(b.size, 100 + i);
    write_file(b.dir + "/image.bin", b.image);
    boards.push_back(std::move(b));
  }

  std::barrier start_together(static_cast<std::ptrdiff_t>(boards.size()));
  std::vector<std::thread> threads;
  for (board& b : boards) {
    threads.emplace_back([&b, &start_together] {
      const std::string address = hex_address(b.address);
      const std::string dump = address + ":" + std::to_string(b.size) + ":" + b.dir + "/memory.bin";
      sim_target sim = start_sim(b.dir, {"--dump", dump});
      start_together.arrive_and_wait();
      b.run = run_programmer(
          b.dir, {"--port", "@PORT", "--address", address, "--write", "--verify", "image.bin"},
          sim.pty_path);
      b.sim_status = finish_sim(sim);
      b.memory = read_file(b.dir + "/memory.bin");
    });
  }
  for (std::thread& t : threads) t.join();

  for (const board& b : boards) {
    SCOPED_TRACE(b.dir);
    EXPECT_EQ(b.run.exit_code, 0);
    EXPECT_TRUE(b.run.out.starts_with(banner + handshake_ok)) << b.run.out;
    EXPECT_TRUE(b.run.out.ends_with(ok_tail + done_ok)) << b.run.out;
    EXPECT_EQ(b.sim_status, 0);
    EXPECT_TRUE(b.memory == b.image)
        << "image of " << b.size << " bytes at " << b.address << " differs";
    std::filesystem::remove_all(b.dir);
  }
}

TEST(ParallelBoards, FlashAllScriptReportsEveryPort) {
  if (running_under_wine()) GTEST_SKIP() << "the script runs the native programmer";
  namespace fs = std::filesystem;
  const std::string script =
      (fs::path(__FILE__).parent_path().parent_path() / "scripts/flash-all.sh").string();
  struct row {
    const char* name;
    std::vector<std::string> faults;  // one per board, "" for none
    int exit_code;
  };
  // Three boards a row keep the load beside the eight-board test small.
  const std::vector<row> rows{
      {"every board good", {"", "", ""}, 0},
      {"a refused block and a memory that differs",
       {"read.data:flip:5", "", "write.end:refuse@2"},
       1},
  };
  const std::size_t size = 3000;
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    const std::string dir = make_test_dir();
    fs::create_directory(dir + "/ports");
    const std::vector<uint8_t> image = pattern_bytes(size, 42);
    write_file(dir + "/image.bin", image);

    std::vector<sim_target> sims;
    for (std::size_t i = 0; i < r.faults.size(); ++i) {
      const std::string board_dir = dir + "/board-" + std::to_string(i);
      fs::create_directory(board_dir);
      std::vector<std::string> args{
          "--link", dir + "/ports/board-" + std::to_string(i), "--dump",
          "0x20000000:" + std::to_string(size) + ":" + board_dir + "/memory.bin"};
      if (!r.faults[i].empty()) args.insert(args.end(), {"--fault", r.faults[i]});
      sims.push_back(start_sim(board_dir, args));
    }
    const process_result run = run_process(
        {script, "--write", "--verify", "image.bin"}, dir,
        {std::string("VEXLOR_PROG=") + VEXLOR_PROG_PATH, "VEXLOR_PORTS_DIR=" + dir + "/ports"},
        120);
    EXPECT_EQ(run.exit_code, r.exit_code) << run.out;

    std::istringstream lines(run.out);
    std::vector<std::string> results;
    for (std::string line; std::getline(lines, line);) results.push_back(line);
    ASSERT_EQ(results.size(), r.faults.size() + 1) << run.out;
    for (std::size_t i = 0; i < r.faults.size(); ++i) {
      SCOPED_TRACE("board " + std::to_string(i));
      EXPECT_EQ(finish_sim(sims[i]), 0);
      const std::string name = "board-" + std::to_string(i);
      const std::vector<uint8_t> memory = read_file(dir + "/" + name + "/memory.bin");
      if (r.faults[i].empty()) {
        EXPECT_EQ(results[i], "ok      " + name);
        EXPECT_TRUE(memory == image);
      } else if (r.faults[i].starts_with("write")) {
        EXPECT_EQ(results[i], "FAILED  " + name +
                                  " (exit 1): writting 3000 bytes - error; the target refused "
                                  "the data of the block at 0x20000100 (answered 0x1f)");
      } else {
        EXPECT_TRUE(results[i].starts_with("FAILED  " + name +
                                           " (exit 1): image and target differ in 1 byte(s), "
                                           "first at 0x20000005"))
            << results[i];
      }
    }
    const std::size_t good =
        static_cast<std::size_t>(std::count(r.faults.begin(), r.faults.end(), ""));
    EXPECT_EQ(results.back(), "vexlor-flash-all: " + std::to_string(good) + " of " +
                                  std::to_string(r.faults.size()) + " port(s) ok");
    fs::remove_all(dir);
  }
}
