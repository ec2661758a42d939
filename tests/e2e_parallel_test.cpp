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
// The production station, vexlor-flash-all, is tested the same way in
// e2e_station_test.cpp.
#include <gtest/gtest.h>

#include <barrier>
#include <filesystem>
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
    // Set aside: a warning for an image that reaches past the flash.
    EXPECT_TRUE(without_reasons(b.run.out).starts_with(banner + handshake_ok)) << b.run.out;
    EXPECT_TRUE(b.run.out.ends_with(ok_tail + done_ok)) << b.run.out;
    EXPECT_EQ(b.sim_status, 0);
    EXPECT_TRUE(b.memory == b.image)
        << "image of " << b.size << " bytes at " << b.address << " differs";
    std::filesystem::remove_all(b.dir);
  }
}
