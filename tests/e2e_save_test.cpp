// --save end to end: the target's flash read into a file, whole or not at
// all. A sector, a range across sectors over a file that --force replaces,
// a save after a write and a verify; a read cut short, a stop in the
// middle and a file that cannot be written whole (a file size limit) leave
// neither the file nor anything of the tool's beside it, and a file --force
// would have replaced as it was.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <thread>

#include "support/console_text.h"
#include "support/e2e.h"
#include "support/json_lines.h"

namespace fs = std::filesystem;

namespace {

using bytes = std::vector<uint8_t>;

// The flash as the tests preload it: the main block, sectors 0 to 5.
constexpr uint32_t flash_start = 0x20000000;
constexpr uint32_t flash_size = 0x20000;

struct E2ESave : ::testing::Test {
  std::string dir = make_test_dir();
  void TearDown() override { fs::remove_all(dir); }
};

}  // namespace

TEST_F(E2ESave, TheFlashGoesIntoTheFileWholeOrNotAtAll) {
  struct save_case {
    std::string what;
    std::vector<std::string> words;  // besides the port and --save flash.bin
    uint32_t address;
    uint32_t size;
    std::vector<std::string> sim_args = {};
    std::string failure = {};  // the reason line; empty: saved
    bool json = false;
    bool stop = false;  // SIGTERM while the read is under way
    // The run may write files of 4 KiB at most (ulimit -f 8), as a full
    // disk would stop it: the save fails midway through its file.
    bool file_limit = false;
  };
  const bytes flash = pattern_bytes(flash_size, 21);
  const bytes image = pattern_bytes(300, 22);
  write_file(dir + "/flash.before", flash);
  write_file(dir + "/image.bin", image);
  const std::vector<save_case> cases = {
      {"a whole sector", {"--address", "0x20002000", "--size", "0x2000"}, 0x20002000, 0x2000},
      {"a range across sectors, over a file --force replaces",
       {"--address", "0x20001F00", "--size", "768", "--force"},
       0x20001F00,
       768},
      {"after a write and a verify, told as JSON",
       {"--write", "--verify", "image.bin", "--size", "300", "--json"},
       0x20000000,
       300,
       {},
       {},
       true},
      {"the flash alone, told as JSON: no image",
       {"--size", "16", "--json"},
       0x20000000,
       16,
       {},
       {},
       true},
      {"cut short by a short read",
       {"--size", "0x1000"},
       0x20000000,
       0x1000,
       {"--fault", "read.data:short:100@3"},
       "only 100 of 256 bytes arrived for the read of the block at 0x20000200"},
      {"stopped by SIGTERM",
       {"--size", "0x8000"},
       0x20000000,
       0x8000,
       {"--baud", "115200"},
       "stopped by SIGTERM",
       false,
       true},
      {.what = "a file that cannot be written whole leaves no file",
       .words = {"--size", "0x2000"},
       .address = 0x20000000,
       .size = 0x2000,
       .failure = "cannot write the file: file too large",
       .file_limit = true},
      {.what = "a file that cannot be written whole leaves the one --force would replace",
       .words = {"--size", "0x2000", "--force"},
       .address = 0x20000000,
       .size = 0x2000,
       .failure = "cannot write the file: file too large",
       .file_limit = true},
  };
  const bytes older = {'o', 'l', 'd'};
  for (const save_case& c : cases) {
    SCOPED_TRACE(c.what);
    if ((c.stop || c.file_limit) && running_under_wine()) {
      std::printf("[ native only ] %s: a POSIX signal or limit\n", c.what.c_str());
      continue;
    }
    const std::string saved = dir + "/flash.bin";
    fs::remove(saved);
    if (c.what.find("--force") != std::string::npos) write_file(saved, older);
    std::vector<std::string> sim_args = {"--load", hex_address(flash_start) + ":flash.before"};
    sim_args.insert(sim_args.end(), c.sim_args.begin(), c.sim_args.end());
    sim_target sim = start_sim(dir, sim_args);
    const std::set<std::string> before = file_names_in(dir);
    std::vector<std::string> args = {"--port", "@PORT", "--save", "flash.bin"};
    args.insert(args.end(), c.words.begin(), c.words.end());
    process_result run;
    if (c.stop) {
      args[1] = sim.pty_path;
      args.insert(args.begin(), VEXLOR_PROG_PATH);
      child_process child = start_process(args, dir);
      std::string line;
      for (int i = 0; i < 3 && line != "initializing device..\b\b - OK  "; ++i) {
        line = read_line(child, 10);  // the banner, its blank line, the handshake
      }
      EXPECT_EQ(line, "initializing device..\b\b - OK  ");
      std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the read under way
      kill(child.pid, SIGTERM);
      run = wait_process(child, 10);
    } else if (c.file_limit) {
      args[1] = sim.pty_path;
      args.insert(args.begin(), {"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 8; exec \"$0\" \"$@\"",
                                 VEXLOR_PROG_PATH});
      run = run_process(args, dir, {}, 60);
    } else {
      run = run_programmer(dir, args, sim.pty_path);
    }
    EXPECT_EQ(finish_sim(sim), 0);

    if (c.file_limit) {
      EXPECT_EQ(run.exit_code, 1) << run.out;
      EXPECT_TRUE(run.out.ends_with(transfer_ok("reading", c.size) +
                                    "cannot save file flash.bin..\n  " + c.failure + "\n" +
                                    done_error))
          << run.out;
      EXPECT_EQ(file_names_in(dir), before) << "neither the file nor a fresh one is left";
      if (c.words.back() == "--force") {
        EXPECT_TRUE(read_file(saved) == older) << "as it was";
      }
      continue;
    }

    if (!c.failure.empty()) {
      EXPECT_EQ(run.exit_code, c.stop ? 128 + SIGTERM : 1);
      // A stopped run's first lines were read above.
      const std::string head = c.stop ? "" : banner + handshake_ok;
      EXPECT_TRUE(run.out.starts_with(head + "reading " + std::to_string(c.size) + " bytes..  0%"))
          << run.out;
      EXPECT_TRUE(run.out.ends_with(error_tail + "  " + c.failure + "\n" + done_error)) << run.out;
      EXPECT_EQ(file_names_in(dir), before) << "neither the file nor a fresh one is left";
      continue;
    }
    EXPECT_EQ(run.exit_code, 0) << run.out;
    bytes expected(flash.begin() + (c.address - flash_start),
                   flash.begin() + (c.address - flash_start + c.size));
    if (c.words[0] == "--write") expected = image;
    EXPECT_TRUE(read_file(saved) == expected);
    std::set<std::string> after = before;
    after.insert("flash.bin");
    EXPECT_EQ(file_names_in(dir), after);
    if (!running_under_wine()) {
      const mode_t mask = umask(0);
      umask(mask);
      struct stat st {};
      stat(saved.c_str(), &st);
      EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask) << "the permissions any new file gets";
    }
    if (!c.json) {
      EXPECT_EQ(run.out, banner + handshake_ok + transfer_ok("reading", c.size) + "  saved " +
                             std::to_string(c.size) + " bytes to flash.bin\n" + done_ok);
      continue;
    }
    // The save's own phase event, after the write's and the verify's, and
    // the file in the end object.
    std::vector<nlohmann::json> lines;
    ASSERT_NO_THROW(lines = json_lines(run.out)) << run.out;
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], (nlohmann::json{{"event", "phase"},
                                                       {"phase", "save"},
                                                       {"ok", true},
                                                       {"address", c.address},
                                                       {"size", c.size}}));
    const nlohmann::json& end = lines.back();
    EXPECT_EQ(end["saved"], "flash.bin");
    // Of the image, only when the run used one.
    const bool written = c.words.front() == "--write";
    EXPECT_EQ(end["image"], written ? nlohmann::json("image.bin") : nlohmann::json());
    for (const char* key : {"segments", "format", "written_sha256"}) {
      EXPECT_EQ(end[key].is_null(), !written) << key;
    }
  }
}
