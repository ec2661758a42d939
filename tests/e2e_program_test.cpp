// The whole job end to end: erase, write, read back and compare, with the
// console and wire bytes exact and the target's memory checked afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "support/console_text.h"
#include "support/e2e.h"

namespace {

using bytes = std::vector<uint8_t>;

void append(bytes& to, const bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

bytes erase_wire(uint8_t sector) { return {0x71, 0x43, 0x00, sector}; }

std::vector<int> erased_sectors(const std::vector<sim_event>& log) {
  std::vector<int> sectors;
  for (const auto& e : log) {
    if (e.kind == "erase") sectors.push_back(std::stoi(e.text));
  }
  return sectors;
}

struct run_outcome {
  process_result run;
  std::vector<sim_event> log;
  bytes memory;  // the dumped range [address, address + image size)
};

struct E2EProgram : ::testing::Test {
  std::string dir = make_test_dir();
  void TearDown() override { std::filesystem::remove_all(dir); }

  run_outcome program(const bytes& image, uint32_t address, const std::vector<std::string>& flags,
                      std::vector<std::string> sim_args = {}) {
    write_file(dir + "/image.bin", image);
    const std::string dump = dir + "/memory.bin";
    std::filesystem::remove(dump);
    if (!image.empty()) {
      sim_args.insert(sim_args.end(), {"--dump", hex_address(address) + ":" +
                                                     std::to_string(image.size()) + ":" + dump});
    }
    sim_target sim = start_sim(dir, sim_args);
    std::vector<std::string> args = {"--port", "@PORT", "--address", hex_address(address),
                                     "image.bin"};
    args.insert(args.end(), flags.begin(), flags.end());
    run_outcome out;
    out.run = run_programmer(dir, args, sim.pty_path);
    EXPECT_EQ(finish_sim(sim), 0);
    out.log = read_sim_log(sim.log_path);
    out.memory = read_file(dump);
    return out;
  }
};

}  // namespace

TEST_F(E2EProgram, ThreeHundredBytesWrittenAndVerified) {
  const bytes image = pattern_bytes(300, 1);
  run_outcome out = program(image, 0x20000000, {"--write", "--verify"});

  // Spelled out byte for byte; elsewhere transfer_line() builds the line.
  EXPECT_EQ(out.run.out, banner + handshake_ok + ok_tail +
                             "writting 300 bytes..  0%\b\b\b\b 85%\b\b\b\b100%\b\b\b\b" + ok_tail +
                             "reading 300 bytes..  0%\b\b\b\b 85%\b\b\b\b100%\b\b\b\b" + ok_tail +
                             done_ok);
  EXPECT_EQ(out.run.exit_code, 0);

  bytes wire = {0x7F};
  append(wire, erase_wire(0));
  append(wire, {0x31, 0x20, 0x00, 0x00, 0x00, 0xFF});
  wire.insert(wire.end(), image.begin(), image.begin() + 256);
  append(wire, {0x31, 0x20, 0x00, 0x01, 0x00, 43});
  wire.insert(wire.end(), image.begin() + 256, image.end());
  append(wire, {0x11, 0x20, 0x00, 0x00, 0x00, 0xFF, 0x11, 0x20, 0x00, 0x01, 0x00, 43});
  EXPECT_EQ(bytes_received(out.log), wire);
  EXPECT_EQ(erased_sectors(out.log), std::vector<int>{0});
  EXPECT_EQ(out.memory, image);
}

TEST_F(E2EProgram, ErasesExactlyTheSectorsTheImageTouches) {
  struct erase_case {
    uint32_t address;
    uint32_t size;
    std::vector<int> sectors;
    std::string outside = "";  // the warning for the bytes no sector holds
  };
  const std::string no_erase = " lie outside the flash map: written without an erase\n";
  const std::vector<erase_case> cases = {
      {0x20000000, 0x2001, {0, 1}},                              // one byte into the next sector
      {0x20000100, 0x100, {0}},                                  // wholly inside one sector
      {0x2003F000, 0x2000, {7}, "bytes 0x20040000-0x20040fff"},  // past the end of the main block
      {0x200C1000, 0x2000, {16, 17}},                            // the small block
      {0x1FFFFF00, 0x200, {0}, "bytes 0x1fffff00-0x1fffffff"},   // starts below the flash
      {0x30000000, 0x300, {}, "bytes 0x30000000-0x300002ff"},    // no flash at all: plain memory
  };
  for (const erase_case& c : cases) {
    SCOPED_TRACE(hex_address(c.address) + " + " + std::to_string(c.size));
    const bytes image = pattern_bytes(c.size, c.address);
    run_outcome out = program(image, c.address, {"--write", "--verify"});
    EXPECT_EQ(erased_sectors(out.log), c.sectors);
    EXPECT_EQ(out.run.exit_code, 0);
    EXPECT_EQ(out.memory, image);
    std::string tails;
    for (std::size_t i = 0; i < c.sectors.size(); ++i) tails += ok_tail;
    const std::string warning = c.outside.empty() ? "" : "  " + c.outside + no_erase;
    const std::string head = banner + warning + handshake_ok + tails + "writting";
    EXPECT_EQ(out.run.out.substr(0, head.size()), head);
  }
}

TEST_F(E2EProgram, RefusedSecondSectorStopsTheErase) {
  const bytes image = pattern_bytes(0x4001, 2);  // sectors 0, 1 and 2
  run_outcome out =
      program(image, 0x20000000, {"--write", "--verify"}, {"--fault", "erase.final:refuse@2"});
  EXPECT_EQ(without_reasons(out.run.out),
            banner + handshake_ok + ok_tail + error_tail + done_error);
  EXPECT_EQ(out.run.exit_code, 1);
  bytes wire = {0x7F};
  append(wire, erase_wire(0));
  append(wire, erase_wire(1));
  EXPECT_EQ(bytes_received(out.log), wire);  // no third erase, no write, no read
}

TEST_F(E2EProgram, SlowFinalEraseAcknowledgeStillSucceeds) {
  const bytes image = pattern_bytes(64, 3);
  run_outcome out =
      program(image, 0x20000000, {"--write", "--verify"}, {"--fault", "erase.final:late:1500"});
  EXPECT_EQ(out.run.exit_code, 0);
  EXPECT_EQ(out.memory, image);
}

TEST_F(E2EProgram, RefusedAddressOfTheThirdBlockEndsTheWrite) {
  const bytes image = pattern_bytes(1000, 4);
  run_outcome out =
      program(image, 0x20000000, {"--write", "--verify"}, {"--fault", "write.address:refuse@3"});
  EXPECT_EQ(
      without_reasons(out.run.out),
      banner + handshake_ok + ok_tail + transfer_line("writting", 1000, 2, false) + done_error);
  EXPECT_EQ(out.run.exit_code, 1);
  const bytes wire = bytes_received(out.log);
  ASSERT_GE(wire.size(), 5u);
  // The refused address is the last thing sent: no length, no data, no read.
  EXPECT_EQ(bytes(wire.end() - 5, wire.end()), (bytes{0x31, 0x20, 0x00, 0x02, 0x00}));
}

TEST_F(E2EProgram, ShortReadFailsTheVerify) {
  const bytes image = pattern_bytes(256, 5);
  run_outcome out =
      program(image, 0x20000000, {"--write", "--verify"}, {"--fault", "read.data:short:255"});
  EXPECT_EQ(without_reasons(out.run.out), banner + handshake_ok + ok_tail +
                                              transfer_ok("writting", 256) +
                                              transfer_line("reading", 256, 0, false) + done_error);
  EXPECT_EQ(out.run.exit_code, 1);
}

TEST_F(E2EProgram, VerifyAloneComparesTheTargetWithTheImage) {
  const bytes image = pattern_bytes(700, 6);  // three blocks
  constexpr std::size_t none = 700;
  struct row {
    std::string what;
    std::string flag;
    std::size_t differs_at;  // the one byte the target holds otherwise; none: it holds the image
    std::size_t reads;       // read commands sent
    std::string tail = "";   // after the comparison's words
  };
  const std::vector<row> rows{
      {"the same", "--verify", none, 3},
      {"one byte other", "--verify", 699, 3},
      {"until differ, the same: the whole read", "--verify-until-differ", none, 3},
      {"until differ, other in the second block: two blocks read", "--verify-until-differ", 300, 2,
       "; the rest was not read"},
      {"until differ, other in the last block: as --verify", "--verify-until-differ", 699, 3},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    bytes target = image;
    if (r.differs_at != none) target[r.differs_at] ^= 0x01;
    write_file(dir + "/target.bin", target);
    run_outcome out = program(image, 0x20004000, {r.flag}, {"--load", "0x20004000:target.bin"});
    const bool same = r.differs_at == none;
    EXPECT_EQ(without_reasons(out.run.out), banner + handshake_ok +
                                                transfer_line("reading", 700, r.reads, true) +
                                                (same ? done_ok : done_error));
    EXPECT_EQ(out.run.exit_code, same ? 0 : 1);
    EXPECT_TRUE(erased_sectors(out.log).empty());
    // The start byte, then six bytes a read command.
    EXPECT_EQ(bytes_received(out.log).size(), 1 + 6 * r.reads);
    if (same) {
      EXPECT_TRUE(reason_lines(out.run.out).empty());
      continue;
    }
    // Right after the read's line: how many bytes, where, and both values.
    char reason[128];
    std::snprintf(reason, sizeof reason,
                  "image and target differ in 1 byte(s), first at 0x%08zx: image 0x%02x, target "
                  "0x%02x",
                  0x20004000 + r.differs_at, image[r.differs_at], target[r.differs_at]);
    EXPECT_EQ(reason_lines(out.run.out), std::vector<std::string>{reason + r.tail});
  }
}

TEST_F(E2EProgram, EmptyImageSendsOnlyTheStartByte) {
  run_outcome out = program({}, 0x20000000, {"--write", "--verify"});
  EXPECT_EQ(out.run.out, banner + handshake_ok + "writting 0 bytes..  0%\b\b\b\b" + ok_tail +
                             "reading 0 bytes..  0%\b\b\b\b" + ok_tail + done_ok);
  EXPECT_EQ(out.run.exit_code, 0);
  EXPECT_EQ(bytes_received(out.log), bytes{0x7F});
}

TEST_F(E2EProgram, BlockBoundaries256And257) {
  run_outcome one = program(pattern_bytes(256, 7), 0x20000000, {"--write"});
  EXPECT_EQ(one.run.out, banner + handshake_ok + ok_tail + transfer_ok("writting", 256) + done_ok);
  const bytes wire256 = bytes_received(one.log);
  EXPECT_EQ(wire256.size(), 1u + 4u + 6u + 256u);
  EXPECT_EQ(wire256[10], 0xFF);

  const bytes image = pattern_bytes(257, 8);
  run_outcome two = program(image, 0x20000000, {"--write", "--verify"});
  bytes tail = {0x31, 0x20, 0x00, 0x01, 0x00, 0x00, image[256], 0x11, 0x20, 0x00,
                0x00, 0x00, 0xFF, 0x11, 0x20, 0x00, 0x01,       0x00, 0x00};
  const bytes wire257 = bytes_received(two.log);
  ASSERT_GE(wire257.size(), tail.size());
  EXPECT_EQ(bytes(wire257.end() - static_cast<long>(tail.size()), wire257.end()), tail);
  EXPECT_EQ(two.memory, image);
  EXPECT_EQ(two.run.exit_code, 0);
}

TEST_F(E2EProgram, WholeMainFlashBlock) {
  const bytes image = pattern_bytes(256 * 1024, 9);
  run_outcome out = program(image, 0x20000000, {"--write", "--verify"});
  EXPECT_EQ(erased_sectors(out.log), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(out.memory, image);
  EXPECT_EQ(out.run.exit_code, 0);
  // 1024 blocks: the first ten still show 0%, the 11th 1%.
  const std::string ten_zeros = [] {
    std::string s;
    for (int i = 0; i < 10; ++i) s += "\b\b\b\b  0%";
    return s;
  }();
  EXPECT_NE(out.run.out.find("writting 262144 bytes..  0%" + ten_zeros + "\b\b\b\b  1%"),
            std::string::npos);
  EXPECT_TRUE(out.run.out.ends_with("\b\b\b\b" + ok_tail + done_ok));
}
