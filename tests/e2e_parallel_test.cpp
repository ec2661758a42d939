// Eight boards programmed at once, as on a production bench: eight
// simulators pacing bytes at 115200 baud, eight programmer processes started
// together, each with its own image, address and sectors. Every image must
// arrive intact and every run succeed; nothing may leak between ports.
//
// Natively only (the name does not start with E2E): the Wine harness maps one
// COM name per test process, so eight concurrent runs cannot each get a port.
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
      char address[16];
      std::snprintf(address, sizeof address, "0x%08X", b.address);
      const std::string dump = std::string(address) + ":" + std::to_string(b.size) + ":" + b.dir + "/memory.bin";
      sim_target sim = start_sim(b.dir, {"--baud", "115200", "--dump", dump});
      start_together.arrive_and_wait();
      // The harness's run_programmer keeps per-process state; the binary is
      // run directly so the threads share nothing.
      b.run = run_process({VEXLOR_PROG_PATH, "--port", sim.pty_path, "--address", address, "--write",
                           "--verify", "image.bin"},
                          b.dir, {}, 60);
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
    EXPECT_TRUE(b.memory == b.image) << "image of " << b.size << " bytes at " << b.address << " differs";
    std::filesystem::remove_all(b.dir);
  }
}
