// The whole job end to end: erase, write, read back and compare, with the
// console and wire bytes exact and the target's memory checked afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "support/console_text.h"
#include "support/e2e.h"
#include "support/image_builders.h"
#include "support/json_lines.h"

namespace {

using bytes = std::vector<uint8_t>;

void append(bytes& to, const bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

bytes erase_wire(uint8_t sector) { return {0x71, 0x43, 0x00, sector}; }

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
    std::string cleared = "";  // the sector, and what its erase clears before the image
  };
  const std::string no_erase = " lie outside the flash map: written without an erase\n";
  const std::vector<erase_case> cases = {
      {0x20000000, 0x2001, {0, 1}},  // one byte into the next sector
      {0x20000100, 0x100, {0}, "", "0 also clears 0x20000000-0x200000FF"},  // inside one sector
      {0x20000000, 0x2000, {0}},     // ends on the last byte of a sector: not one more
      {0x20002000, 0x4000, {1, 2}},  // from a sector's first byte to another's last
      // Past the end of the main block.
      {0x2003F000,
       0x2000,
       {7},
       "bytes 0x20040000-0x20040fff",
       "7 also clears 0x20030000-0x2003EFFF"},
      {0x200C1000, 0x2000, {16, 17}, "", "16 also clears 0x200C0000-0x200C0FFF"},
      {0x1FFFFF00, 0x200, {0}, "bytes 0x1fffff00-0x1fffffff"},  // starts below the flash
      {0x30000000, 0x300, {}, "bytes 0x30000000-0x300002ff"},   // no flash at all: plain memory
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
    std::string warning = c.outside.empty() ? "" : "  " + c.outside + no_erase;
    if (!c.cleared.empty()) {
      warning +=
          "  erasing sector " + c.cleared + ", outside the image: --keep-unwritten keeps them\n";
    }
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
  run_outcome out = program({}, 0x20000000, {"--write", "--verify", "--allow-empty"});
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

// Images that carry their own addresses go where they say: every sector any
// segment touches erased once, in map order; each segment written and read
// back as a transfer of its own, lowest address first; the gaps, and every
// sector no segment touches, left as they were.
TEST_F(E2EProgram, ImagesWithAddressesGoWhereTheySay) {
  struct image_case {
    std::string what;
    std::string file;
    bytes content;
    std::vector<placed_bytes> placed;  // where its bytes go, lowest address first
    std::vector<int> sectors;
    std::vector<std::string> words = {};  // more of the command line
    bool json = false;
    std::string warnings = "";  // the console's lines before the handshake
    // --keep-unwritten: the console after the handshake; nothing but the
    // image's bytes changes.
    std::string kept = "";
  };
  const bytes boot = pattern_bytes(300, 11);
  const bytes application = pattern_bytes(0x2001, 12);
  const bytes data_block = pattern_bytes(100, 13);
  const std::vector<placed_bytes> three = {
      {0x20000000, boot}, {0x20004000, application}, {0x200C2000, data_block}};
  const std::vector<placed_bytes> two = {{0x20001F00, pattern_bytes(0x200, 14)},
                                         {0x20010000, pattern_bytes(0x300, 15)}};
  const bytes hex = text_bytes(intel_hex_file(three));
  ASSERT_LT(hex.size(), 0x6000u);  // as raw bytes at 0x20002000: sectors 1 to 3
  const bytes elf = elf_file(true, true,
                             {{6, 0x20000000, pattern_bytes(32, 5)},  // not loaded
                              {1, 0x20000000, boot},
                              {1, 0x20004000, application, 0x400},  // .bss: not in the file
                              {1, 0x200C2000, data_block}});
  // Out of address order, each segment with a tail: a program header's
  // offset, virtual address or memory size taken for another field reads
  // the wrong bytes, puts them in the wrong place or runs off the file.
  const bytes elf32 = elf_file(false, false,
                               {{1, 0x200C2000, data_block, 0x20},
                                {1, 0x20000000, boot, 0x10},
                                {6, 0x20000000, pattern_bytes(32, 5)},  // not loaded
                                {1, 0x20004000, application, 0x400}});
  // A small image beside a neighbour's bytes, in sectors 0 and 17.
  const std::vector<placed_bytes> beside = {{0x20000100, pattern_bytes(0x100, 18)},
                                            {0x200C2100, pattern_bytes(0x80, 19)}};
  const std::vector<image_case> cases = {
      {"--keep-unwritten: a neighbour's bytes before and after the image kept",
       "fw.s19",
       text_bytes(s_record_file(beside)),
       beside,
       {0, 17},
       {"--keep-unwritten"},
       false,
       "",
       transfer_ok("reading", 0x100) + transfer_ok("reading", 0x1E00) +
           transfer_ok("reading", 0x100) + transfer_ok("reading", 0x1E80) + ok_tail + ok_tail +
           transfer_ok("writting", 0x2000) + transfer_ok("writting", 0x2000) +
           transfer_ok("reading", 0x2000) + transfer_ok("reading", 0x2000)},
      {"intel hex: a boot block, an application, a data block",
       "fw.hex",
       hex,
       three,
       {0, 2, 3, 17}},
      {"s-records: a segment across a sector boundary",
       "fw.srec",
       text_bytes(s_record_file(two)),
       two,
       {0, 1, 5},
       {},
       false,
       "  erasing sector 0 also clears 0x20000000-0x20001EFF, outside the image: "
       "--keep-unwritten keeps them\n"},
      {"elf 64-bit big-endian, told as JSON", "fw.elf", elf, three, {0, 2, 3, 17}, {}, true},
      {"elf 32-bit little-endian, out of order", "fw.elf", elf32, three, {0, 2, 3, 17}},
      {"--format ihex, whatever the name",
       "fw.bin",
       hex,
       three,
       {0, 2, 3, 17},
       {"--format", "ihex"}},
      {"--format bin: the text itself, at --address",
       "fw.hex",
       hex,
       {{0x20002000, hex}},
       {1, 2, 3},
       {"--format", "bin", "--address", "0x20002000"}},
  };
  // What the flash held before: an older firmware everywhere.
  struct flash_block {
    uint32_t address;
    bytes before;
  };
  const std::vector<flash_block> blocks = {{0x20000000, pattern_bytes(0x20000, 16)},
                                           {0x200C0000, pattern_bytes(0x4000, 17)}};
  for (const image_case& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(dir + "/" + c.file, c.content);
    std::vector<std::string> sim_args;
    std::vector<bytes> expected;
    for (const flash_block& b : blocks) {
      const std::string name = dir + "/" + hex_address(b.address);
      write_file(name + ".before", b.before);
      std::filesystem::remove(name + ".after");
      sim_args.insert(
          sim_args.end(),
          {"--load", hex_address(b.address) + ":" + name + ".before", "--dump",
           hex_address(b.address) + ":" + std::to_string(b.before.size()) + ":" + name + ".after"});
      bytes memory = b.before;
      for (const flash_sector& s : sector_map) {
        const bool erased =
            c.kept.empty() && std::count(c.sectors.begin(), c.sectors.end(), s.number) > 0;
        if (erased && s.start >= b.address && s.start - b.address < memory.size()) {
          std::fill_n(memory.begin() + (s.start - b.address), s.size, 0xFF);
        }
      }
      for (const placed_bytes& p : c.placed) {
        if (p.address >= b.address && p.address - b.address < memory.size()) {
          std::copy(p.bytes.begin(), p.bytes.end(), memory.begin() + (p.address - b.address));
        }
      }
      expected.push_back(memory);
    }
    sim_target sim = start_sim(dir, sim_args);
    std::vector<std::string> args = {"--port", "@PORT", "--write", "--verify", c.file};
    args.insert(args.end(), c.words.begin(), c.words.end());
    if (c.json) args.push_back("--json");
    const process_result run = run_programmer(dir, args, sim.pty_path);
    EXPECT_EQ(finish_sim(sim), 0);
    EXPECT_EQ(run.exit_code, 0) << run.out;
    const std::vector<sim_event> log = read_sim_log(sim.log_path);
    EXPECT_EQ(erased_sectors(log), c.sectors);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      EXPECT_TRUE(read_file(dir + "/" + hex_address(blocks[i].address) + ".after") == expected[i])
          << "flash at " << hex_address(blocks[i].address);
    }
    if (!c.kept.empty()) {
      EXPECT_EQ(run.out, banner + handshake_ok + c.kept + done_ok);
      continue;
    }
    // Nothing between the segments goes on the wire, either way.
    std::vector<wire_range> moved;
    for (const uint8_t command : {write_command, read_command}) {
      for (const placed_bytes& p : c.placed) {
        moved.push_back({command, p.address, static_cast<uint32_t>(p.bytes.size())});
      }
    }
    EXPECT_EQ(wire_ranges(bytes_received(log)), moved);
    if (!c.json) {
      std::string console = banner + c.warnings + handshake_ok;
      for (std::size_t i = 0; i < c.sectors.size(); ++i) console += ok_tail;
      for (const char* verb : {"writting", "reading"}) {
        for (const placed_bytes& p : c.placed) console += transfer_ok(verb, p.bytes.size());
      }
      EXPECT_EQ(run.out, console + done_ok);
      continue;
    }
    // Each transfer's phase event names its range; the end counts the
    // segments and names the file's own digest and size.
    std::vector<nlohmann::json> lines;
    ASSERT_NO_THROW(lines = json_lines(run.out)) << run.out;
    std::vector<nlohmann::json> ranges;
    for (const nlohmann::json& line : lines) {
      if (line["event"] == "phase" && line.contains("address")) {
        ranges.push_back({line["phase"], line["address"], line["size"]});
      }
    }
    std::vector<nlohmann::json> placed_ranges;
    for (const char* phase : {"write", "verify"}) {
      for (const placed_bytes& p : c.placed)
        placed_ranges.push_back({phase, p.address, p.bytes.size()});
    }
    EXPECT_EQ(ranges, placed_ranges);
    const nlohmann::json& end = lines.back();
    EXPECT_EQ(end["segments"], c.placed.size());
    EXPECT_EQ(end["size"], c.content.size());
    EXPECT_EQ(end["address"], c.placed.front().address);
    EXPECT_EQ(end["sha256"].get<std::string>().size(), 64u);
  }
}

// The board's own id read after the handshake, and its own bytes patched
// into the image: written, verified against, and told in --json beside the
// file's digest.
TEST_F(E2EProgram, BoardIdAndPatches) {
  const bytes image = pattern_bytes(300, 10);
  const std::string id_place = "0x1FFF7A10";
  struct row {
    std::string what;
    std::vector<std::string> flags;
    std::vector<std::string> sim_args;
    std::string console;  // between the banner and the final line
    bytes memory;         // the image's range afterwards; empty: not written
    bool json = false;
  };
  bytes patched = image;
  patched[0] = 0xa5;
  patched[1] = 0x5a;
  patched[298] = 0x01;
  patched[299] = 0x02;
  const std::string written = ok_tail + transfer_ok("writting", 300) + transfer_ok("reading", 300);
  const std::vector<row> rows{
      {"the id shown after the handshake",
       {"--board-id", id_place + ":6", "--write", "--verify"},
       {"--board-id", id_place + ":0A1B2C3D4E5F"},
       handshake_ok + "  board id 0a1b2c3d4e5f\n" + written,
       image},
      {"an id of one byte repeated is warned of, and the run goes on",
       {"--board-id", id_place + ":4", "--write", "--verify"},
       {"--board-id", id_place + ":ffffffff"},
       handshake_ok +
           "  board id ffffffff\n  the board id at 0x1fff7a10 reads ff in every byte: not a "
           "unique id\n" +
           written,
       image},
      // Patches that touch, given in address order and against it: none
      // shares a byte.
      {"patches at the first and the last bytes, each touching another",
       {"--patch", "0x20000000:a5", "--patch", "0x20000001:5a", "--patch", "0x2000012b:02",
        "--patch", "0x2000012a:01", "--write", "--verify"},
       {},
       handshake_ok + written,
       patched},
      {"an id that cannot be read ends the run before the erase",
       {"--board-id", id_place + ":12", "--write", "--verify"},
       {"--fault", "read.command:refuse"},
       handshake_ok + "reading board id.." + error_tail +
           "  the target refused the read command of the block at 0x1fff7a10 (answered 0x1f)\n",
       {}},
      {"--json: the id, and the digests of the file and of what was written",
       {"--json", "--board-id", id_place + ":2", "--patch", "0x20000000:a55a", "--patch",
        "0x2000012a:0102", "--write", "--verify"},
       {"--board-id", id_place + ":beef"},
       "",
       patched,
       true},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    run_outcome out = program(image, 0x20000000, r.flags, r.sim_args);
    EXPECT_EQ(out.run.exit_code, r.memory.empty() ? 1 : 0) << out.run.out;
    if (r.memory.empty()) {
      EXPECT_TRUE(erased_sectors(out.log).empty());
    } else {
      EXPECT_EQ(out.memory, r.memory);
    }
    if (!r.json) {
      EXPECT_EQ(out.run.out, banner + r.console + (r.memory.empty() ? done_error : done_ok));
      continue;
    }
    const std::vector<nlohmann::json> lines = json_lines(out.run.out);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], (nlohmann::json{{"event", "board_id"}, {"id", "beef"}}));
    const nlohmann::json& end = lines.back();
    EXPECT_EQ(end["board_id"], "beef");
    write_file(dir + "/patched.bin", patched);
    const auto digest = [&](const std::string& file) {
      return run_process({"/usr/bin/sha256sum", dir + "/" + file}, "", {}, 10).out.substr(0, 64);
    };
    EXPECT_EQ(end["sha256"], digest("image.bin"));
    EXPECT_EQ(end["written_sha256"], digest("patched.bin"));
  }
}
