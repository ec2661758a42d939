// What a user or a script can hand the programmer by mistake: images that
// are not plain files or cannot be loaded whole, ports that are not serial
// devices, option values that look like options, numbers with junk or out of
// range. None may hang, none may write a byte where it should not, and every
// refusal must end in the error line and exit status 1.
#include <asm/termbits.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>

#include "support/console_text.h"
#include "support/e2e.h"
#include "support/image_builders.h"
#include "support/json_lines.h"
#include "support/pty_pair.h"

namespace fs = std::filesystem;

namespace {

using bytes = std::vector<uint8_t>;

struct sim_run {
  process_result run;
  std::vector<sim_event> log;
  std::vector<std::string> lines;  // natively only
};

struct E2EBadInput : ::testing::Test {
  std::string dir = make_test_dir();
  void TearDown() override { fs::remove_all(dir); }

  sim_run run_with_sim(const std::vector<std::string>& args,
                       const std::vector<std::string>& sim_args = {}) {
    sim_target sim = start_sim(dir, sim_args);
    sim_run out;
    const std::string line_log = dir + "/lines.log";
    fs::remove(line_log);
    std::vector<std::string> env;
    if (!running_under_wine()) env = line_recorder_env(line_log);
    out.run = run_programmer(dir, args, sim.pty_path, env);
    EXPECT_EQ(finish_sim(sim), 0);
    out.log = read_sim_log(sim.log_path);
    out.lines = line_requests(line_log);
    return out;
  }
};

void note_native_only(const std::string& what, const std::string& why) {
  std::printf("[ native only ] %s: %s\n", what.c_str(), why.c_str());
}

}  // namespace

TEST_F(E2EBadInput, ImagesThatCannotBeProgrammedSendNothing) {
  struct image_case {
    std::string what;
    std::function<std::string(const std::string& dir)> make;  // returns the path to give
    std::string message;                                      // what the run prints about it
    std::string native_only;                                  // why it means nothing on Windows
    std::vector<std::string> words = {};                      // more of the command line
  };
  const std::string name255(255, 'n');
  const std::string name300 = name255 + std::string(45, 'n');
  auto file_of = [](const std::string& name, const bytes& content) {
    return [=](const std::string& d) {
      write_file(d + "/" + name, content);
      return name;
    };
  };
  const bytes eight = pattern_bytes(8, 4);
  bytes cut_elf = elf_file(true, false, {{1, 0x20000000, eight}});
  cut_elf.resize(40);
  const std::string too_large = "  larger than 4 GiB - 1, the most a target address range holds\n";
  const std::vector<image_case> cases = {
      {"directory",
       [](const std::string& d) {
         fs::create_directory(d + "/folder.bin");
         return "folder.bin";
       },
       "cannot open file folder.bin..\n  is a directory\n", ""},
      {"FIFO",
       [](const std::string& d) {
         mkfifo((d + "/pipe.bin").c_str(), 0600);
         return "pipe.bin";
       },
       "cannot open file pipe.bin..\n  not a regular file\n",
       "a FIFO is a POSIX file; opening one for reading would block"},
      {"device", [](const std::string&) { return "/dev/null"; },
       "cannot open file /dev/null..\n  not a regular file\n", "a POSIX device path"},
      {"exactly 4 GiB",
       [](const std::string& d) {
         write_file(d + "/big.bin", {});
         fs::resize_file(d + "/big.bin", 1ull << 32);
         return "big.bin";
       },
       "cannot read file big.bin..\n" + too_large, ""},
      // Its size taken modulo 2^32 would be 300: a partial image must not be programmed.
      {"4 GiB and 300 bytes",
       [](const std::string& d) {
         write_file(d + "/big.bin", {});
         fs::resize_file(d + "/big.bin", (1ull << 32) + 300);
         return "big.bin";
       },
       "cannot read file big.bin..\n" + too_large, ""},
      // Its size says 0, yet it has content: it cannot be loaded whole.
      {"file whose size is not its length", [](const std::string&) { return "/proc/self/status"; },
       "cannot read file /proc/self/status..\n  the file grew while it was read\n",
       "a Linux /proc file"},
      // Cut to 255 characters it would name another image, which must not be flashed.
      {"path longer than 255 characters",
       [&](const std::string& d) {
         write_file(d + "/" + name255, pattern_bytes(300, 9));
         return name300;
       },
       "cannot open file " + name300 + "..\n  path longer than 255 characters\n", ""},
      // Files meant as records or ELF that break their rules are never
      // flashed, not even as raw bytes.
      {"elf file cut short", file_of("fw.elf", cut_elf),
       "cannot read file fw.elf..\n  read as an elf file: elf header cut short: the file holds 40 "
       "of its 64 bytes\n",
       ""},
      {"elf file without loadable bytes",
       file_of("fw.elf", elf_file(true, false, {{4, 0x20000000, eight}, {1, 0x20000000, {}, 8}})),
       "cannot read file fw.elf..\n  read as an elf file: no loadable bytes: no program header "
       "loads bytes from the file\n",
       ""},
      {"intel hex file with a malformed record after valid ones",
       file_of("fw.hex", text_bytes(intel_hex_record(0, 0, eight) + "\r\n:0400000001020304F3\r\n" +
                                    intel_hex_record(1, 0, {}) + "\r\n")),
       "cannot read file fw.hex..\n  read as an intel hex file: line 2: checksum mismatch: its "
       "bytes sum to 0x01, not 0\n",
       ""},
      {"intel hex file that gives a byte twice",
       file_of("fw.hex", text_bytes(intel_hex_file({{0x20000000, eight}, {0x20000004, eight}}))),
       "cannot read file fw.hex..\n  read as an intel hex file: lines 2 and 3 both give the byte "
       "at 0x20000004\n",
       ""},
      {"s-record file past 4 GiB",
       file_of("fw.srec",
               text_bytes(s_record('3', 0xFFFFFFF9, eight) + "\n" + s_record('7', 0, {}) + "\n")),
       "cannot read file fw.srec..\n  read as an s-record file: line 1: its bytes run past the end "
       "of the 4 GiB address space\n",
       ""},
      // Meant as records, by their name or by a first line that looks like
      // one: never flashed as raw text.
      {"raw bytes named .hex", file_of("fw.hex", pattern_bytes(64, 7)),
       "cannot read file fw.hex..\n  read as an intel hex file: line 1: not an intel hex record: "
       "no ':' at its start\n",
       ""},
      {"utf-16 s-record file with a record cut short",
       file_of("fw.s19", as_editors_save(s_record('1', 0, eight) + "\nS1070000\n" +
                                         s_record('9', 0, {}) + "\n")[1]
                             .bytes),
       "cannot read file fw.s19..\n  read as an s-record file: line 2: its count says 7 bytes "
       "follow, 2 do\n",
       ""},
      {"s-record file forced to intel hex",
       file_of("fw.srec", text_bytes(s_record_file({{0x20000000, eight}}))),
       "cannot read file fw.srec..\n  read as an intel hex file: line 1: not an intel hex record: "
       "no ':' at its start\n",
       "",
       {"--format", "ihex"}},
      // Shown with its control characters made visible, never raw on the terminal.
      {"name with control characters", [](const std::string&) { return "\x1b[2J\n.bin"; },
       "cannot open file \\x1b[2J\\x0a.bin..\n  no such file\n",
       "Windows file names hold no control characters"},
      // The blocks would wrap to address 0, onto flash no erase has touched.
      {"range past the end of the address space",
       [](const std::string& d) {
         write_file(d + "/image.bin", pattern_bytes(300, 8));
         return "image.bin";
       },
       "image of 300 bytes does not fit at 0xffffff00..\n  it would run past the end of the "
       "address space\n",
       "",
       {"--address", "0xFFFFFF00"}},
  };
  for (const image_case& c : cases) {
    SCOPED_TRACE(c.what);
    if (running_under_wine() && !c.native_only.empty()) {
      note_native_only(c.what, c.native_only);
      continue;
    }
    const std::string path = c.make(dir);
    std::vector<std::string> args = {"--port", "@PORT", "--write", "--verify", path};
    args.insert(args.end(), c.words.begin(), c.words.end());
    sim_run r = run_with_sim(args);
    EXPECT_EQ(r.run.out, banner + c.message + done_error);
    EXPECT_EQ(r.run.exit_code, 1);
    EXPECT_LT(r.run.seconds, 10.0);  // a FIFO must not block the run
    EXPECT_TRUE(bytes_received(r.log).empty()) << "not even the start byte may go out";
    if (!running_under_wine()) {
      EXPECT_EQ(r.lines, (std::vector<std::string>{"set rts", "set dtr", "clear dtr"}));
    }
    fs::remove_all(dir + "/big.bin");
  }
}

// Raw images at the edges, and Intel HEX and S-record files as editors and
// tools save them (programmed as their records say, whatever their name).
TEST_F(E2EBadInput, ImagesAtTheEdgesAreProgrammedWhole) {
  struct edge_case {
    std::string what;
    bytes image;       // what lands at 0x20000000
    std::string file;  // created with the image, or with `content`
    bytes content = {};
  };
  const std::string not_quite_a_record = ":0400000001020304F3 and more\n";
  std::vector<edge_case> cases = {
      {"empty, with --allow-empty", {}, "image.bin"},
      {"one byte", pattern_bytes(1, 1), "image.bin"},
      {"one whole block", pattern_bytes(256, 256), "image.bin"},
      {"255-character path", pattern_bytes(300, 300), std::string(255, 'i')},
      {"raw bytes that begin with ':' and hex digits",
       bytes(not_quite_a_record.begin(), not_quite_a_record.end()), "image.bin"},
      {"a name that begins with '-', after --", pattern_bytes(40, 2), "-image.bin"},
  };
  const bytes image = pattern_bytes(300, 21);
  for (const std::string& text :
       {intel_hex_file({{0x20000000, image}}), s_record_file({{0x20000000, image}})}) {
    for (saved_text& saved : as_editors_save(text)) {
      cases.push_back({text.substr(0, 2) + ": " + saved.how, image, "firmware.txt", saved.bytes});
    }
  }
  for (const edge_case& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(dir + "/" + c.file, c.content.empty() ? c.image : c.content);
    const std::string dump = dir + "/memory.bin";
    fs::remove(dump);
    std::vector<std::string> sim_args;
    if (!c.image.empty())
      sim_args = {"--dump", "0x20000000:" + std::to_string(c.image.size()) + ":" + dump};
    sim_run r = run_with_sim(
        {"--port", "@PORT", "--write", "--verify", "--allow-empty", "--", c.file}, sim_args);
    const std::string erase = c.image.empty() ? "" : ok_tail;
    EXPECT_EQ(r.run.out, banner + handshake_ok + erase + transfer_ok("writting", c.image.size()) +
                             transfer_ok("reading", c.image.size()) + done_ok);
    EXPECT_EQ(r.run.exit_code, 0);
    if (!c.image.empty()) {
      EXPECT_EQ(read_file(dump), c.image);
    }
    fs::remove(dir + "/" + c.file);
  }
}

// Command lines the run does not begin with: exit status 2 and one line
// that says why (the end object's reason with --json), before any port is
// opened, and nothing written anywhere.
TEST_F(E2EBadInput, CommandLinesRefusedBeforeThePortOpens) {
  struct usage_case {
    std::string what;
    std::vector<std::string> words;
    std::string reason;
  };
  const std::string hex = intel_hex_file({{0x20000000, pattern_bytes(8, 1)}});
  write_file(dir + "/fw.hex", bytes(hex.begin(), hex.end()));
  write_file(dir + "/fw.elf", elf_file(false, false, {{1, 0x20000000, pattern_bytes(8, 2)}}));
  const bytes kept = {'k', 'e', 'e', 'p'};
  write_file(dir + "/kept.bin", kept);
  fs::create_directory(dir + "/folder");
  const std::string within_words =
      "--expect-within takes a number of seconds from 0.1 to 600, not ";
  const std::string size_words =
      "--size takes a number of bytes from 1 to 4294967295, decimal or "
      "0x hex, not ";
  const std::vector<usage_case> cases = {
      {"--address with an intel hex file",
       {"--address", "0x20000000", "--write", "fw.hex"},
       "--address means nothing for fw.hex: an intel hex file carries its own addresses"},
      {"--address with a file forced to elf",
       {"--format", "elf", "--verify", "--address", "0", "fw.elf"},
       "--address means nothing for fw.elf: an elf file carries its own addresses"},
      {"--format with a word it does not take",
       {"--format", "hex", "fw.hex"},
       "--format takes auto, bin, ihex, srec or elf"},
      {"--save without --size",
       {"--save", "flash.bin"},
       "--save needs --size: the number of bytes to read"},
      {"--size without --save",
       {"--size", "16", "--verify", "fw.hex"},
       "--size goes with --save: it is the number of bytes to save"},
      {"--size 0", {"--save", "flash.bin", "--size", "0"}, size_words + "\"0\""},
      // Read as --address reads numbers it would be 120.
      {"--size with junk",
       {"--save", "flash.bin", "--size", "12k"},
       "--size \"12k\": 'k' is not a decimal digit"},
      {"--size past 4 GiB",
       {"--address", "0xFFFFFF00", "--save", "flash.bin", "--size", "0x101"},
       "--size 257 at 0xffffff00 runs past the end of the 4 GiB address space"},
      {"--save to a file that exists",
       {"--save", "kept.bin", "--size", "16"},
       "--save kept.bin: the file exists; --force replaces it"},
      {"--save to a folder",
       {"--save", "folder", "--size", "16", "--force"},
       "--save folder: a folder has that name"},
      {"--save into a folder that does not exist",
       {"--save", "nowhere/flash.bin", "--size", "16"},
       "--save nowhere/flash.bin: its folder does not exist"},
      {"--changed-only without --board-id",
       {"--changed-only", "--write", "kept.bin"},
       "--changed-only needs --board-id: what a board holds is kept under its id"},
      {"--changed-only without --write",
       {"--changed-only", "--verify", "--board-id", "0x1FFF7A10:12", "kept.bin"},
       "--changed-only goes with --write: it chooses the sectors the write erases and writes"},
      {"--forget-board with a write",
       {"--forget-board", "0a1b", "--write", "kept.bin"},
       "--forget-board is a run of its own that opens no port: leave out --write, --verify and "
       "--save"},
      {"--expect with no text",
       {"--expect", "", "fw.hex"},
       "--expect needs the text the board prints as it starts"},
      {"--expect-within too long",
       {"--expect", "app", "--expect-within", "600.5", "fw.hex"},
       within_words + "'600.5'"},
      {"--expect-within without --expect",
       {"--expect-within", "5", "fw.hex"},
       "--expect-within goes with --expect: it is how long to wait for its text"},
      {"--app-baud 0",
       {"--expect", "app", "--app-baud", "0", "fw.hex"},
       "--app-baud takes a rate in baud from 1 to 2147483647, not '0'"},
      {"--app-baud without --expect or --monitor",
       {"--app-baud", "9600", "fw.hex"},
       "--app-baud goes with --expect or --monitor: it is the rate the board prints at"},
  };
  for (const usage_case& c : cases) {
    SCOPED_TRACE(c.what);
    // No simulator: a run that opened the port would fail there instead.
    std::vector<std::string> args = {"--port", "@PORT"};
    args.insert(args.end(), c.words.begin(), c.words.end());
    if (&c == &cases.front()) {
      const process_result console = run_programmer(dir, args);
      EXPECT_EQ(console.out, banner);  // the reason goes to standard error
      EXPECT_EQ(console.exit_code, 2);
    }
    args.insert(args.begin(), "--json");
    const process_result r = run_programmer(dir, args);
    EXPECT_EQ(r.exit_code, 2);
    std::vector<nlohmann::json> lines;
    ASSERT_NO_THROW(lines = json_lines(r.out)) << r.out;
    ASSERT_EQ(lines.size(), 1u) << r.out;
    EXPECT_EQ(lines[0]["phase"], "usage");
    EXPECT_EQ(lines[0]["reason"], c.reason);
  }
  EXPECT_EQ(read_file(dir + "/kept.bin"), kept);
  EXPECT_EQ(file_names_in(dir), (std::set<std::string>{"fw.hex", "fw.elf", "kept.bin", "folder"}));
}

TEST_F(E2EBadInput, PortsThatCannotBeUsedAreRefusedWithTheReason) {
  write_file(dir + "/image.bin", {1, 2, 3});
  write_file(dir + "/notes.txt", {'k', 'e', 'e', 'p'});
  fs::create_directory(dir + "/folder");
  const auto notes_time = fs::last_write_time(dir + "/notes.txt");
  const bool wine = running_under_wine();
  // A device only group dialout may use, tried by a user outside it.
  pty_link guarded = open_pty_pair();
  chown(guarded.slave_path.c_str(), 0, 20);
  chmod(guarded.slave_path.c_str(), 0660);
  const std::vector<std::string> outsider = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                             "--clear-groups"};
  struct port_case {
    std::string what;
    std::vector<std::string> args;  // the whole command line
    std::string shown;              // the name in the message
    std::string reason;
    std::vector<std::string> run_as = {};  // natively only: the command that runs the tool
  };
  const std::string name = wine ? "" : "./";  // natively a bare name means a device under /dev
  const std::vector<port_case> cases = {
      {"missing", {"--port", "no-such-port", "image.bin"}, "no-such-port", "no such device"},
      {"empty name", {"--port", "", "image.bin"}, "", "no such device"},
      {"regular file",
       {"--port", name + "notes.txt", "--write", "image.bin"},
       name + "notes.txt",
       "not a serial device"},
      {"directory",
       {"--port", name + "folder", "image.bin"},
       name + "folder",
       wine ? "permission denied" : "not a serial device"},  // Windows says access denied
      {"null device",
       {"--port", wine ? "NUL" : "/dev/null", "--write", "image.bin"},
       wine ? "NUL" : "/dev/null",
       "not a serial device"},
      {"255 characters, no such device",
       {"--port", std::string(255, 'p'), "image.bin"},
       std::string(255, 'p'),
       "no such device"},
      {"256 characters",
       {"--port", std::string(256, 'p'), "image.bin"},
       std::string(256, 'p'),
       "name longer than 255 characters"},
      // Escape sequences that would clear the screen and set the clipboard.
      {"a name with escape sequences",
       {"--port", "\x1b]52;c;aGk=\x07\x1b[2J", "image.bin"},
       "\\x1b]52;c;aGk=\\x07\\x1b[2J",
       "no such device"},
      {"permission denied",
       {"--port", guarded.slave_path, "image.bin"},
       guarded.slave_path,
       "permission denied: you must belong to group dialout",
       outsider},
  };
  for (const port_case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.run_as.empty() && (wine || geteuid() != 0)) {
      note_native_only(c.what, "runs the tool as another user, which needs root");
      continue;
    }
    std::vector<std::string> argv = c.run_as;
    argv.push_back(VEXLOR_PROG_PATH);
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const process_result r =
        c.run_as.empty() ? run_programmer(dir, c.args) : run_process(argv, dir, {}, 60);
    const std::string head = banner + "error: cannot open port " + c.shown + "\n  " + c.reason;
    if (c.reason == "no such device") {
      // The same line names the serial ports the machine has, which vary.
      ASSERT_TRUE(r.out.starts_with(head + "; ") && r.out.ends_with("\n" + done_error)) << r.out;
      const std::vector<std::string> reasons = reason_lines(r.out.substr(head.find("error:")));
      ASSERT_EQ(reasons.size(), 1u);
      EXPECT_LE(reasons[0].size(), 100u);
      EXPECT_TRUE(reasons[0] == "no such device; no serial ports were found" ||
                  reasons[0].starts_with("no such device; serial ports here: "))
          << reasons[0];
    } else {
      EXPECT_EQ(r.out, head + "\n" + done_error);
    }
    EXPECT_EQ(r.exit_code, 1);
  }
  pty_close_master(guarded);
  EXPECT_EQ(read_file(dir + "/notes.txt"), (bytes{'k', 'e', 'e', 'p'}));
  EXPECT_EQ(fs::last_write_time(dir + "/notes.txt"), notes_time);
  EXPECT_FALSE(fs::exists(dir + "/no-such-port"));
}

// A terminal someone works at, given as the port by a slip of the fingers,
// gets its echo, its line editing and its Ctrl-C back when the run ends. A
// serial port, no one's terminal, is left raw: its echo put back would send
// a board's late bytes back to it.
TEST_F(E2EBadInput, ATerminalGivenAsThePortIsLeftAsItWasFound) {
  if (running_under_wine()) GTEST_SKIP() << "a POSIX terminal's settings";
  write_file(dir + "/image.bin", {1, 2, 3});
  // The controlling terminal of the session that script makes, as a shell's.
  const std::string command = "stty -g > before; " + std::string(VEXLOR_PROG_PATH) +
                              " --port /dev/tty image.bin > /dev/null; stty -g > after";
  run_process({"/usr/bin/script", "-qec", command, "/dev/null"}, dir, {}, 60);
  const bytes before = read_file(dir + "/before");
  EXPECT_FALSE(before.empty());
  EXPECT_EQ(read_file(dir + "/after"), before);

  pty_link line = open_pty_pair();
  const int held = open(line.slave_path.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(held, 0);
  termios2 cooked{};
  ioctl(held, TCGETS2, &cooked);
  cooked.c_lflag |= ECHO | ICANON | ISIG;
  ASSERT_EQ(ioctl(held, TCSETS2, &cooked), 0);
  const process_result r = run_programmer(dir, {"--port", line.slave_path, "image.bin"});
  termios2 after{};
  ioctl(held, TCGETS2, &after);
  close(held);
  pty_close_master(line);
  EXPECT_EQ(r.exit_code, 1);  // nobody answers the start byte there
  EXPECT_EQ(after.c_lflag & (ECHO | ICANON | ISIG), 0u) << "a serial port stays raw";
}

// Slips on the command line are refused with exit status 2 and a line that
// names the word (the end object's reason with --json), before the port is
// opened: no control line moves and nothing is sent, though the port is
// there. --help and --version answer without touching it.
TEST_F(E2EBadInput, SlipsAreRefusedBeforeALineMoves) {
  write_file(dir + "/fw.bin", pattern_bytes(40, 4));
  write_file(dir + "/empty.bin", {});
  write_file(dir + "/fw.hex", text_bytes(intel_hex_file({{0x20000000, pattern_bytes(16, 1)},
                                                         {0x20002000, pattern_bytes(16, 2)}})));
  fs::create_symlink("nowhere", dir + "/gone.bin");
  struct row {
    std::vector<std::string> words;
    std::string refusal;  // empty: exit status 0, with `out`
    std::string out = "";
    std::string native_only = "";
  };
  const std::vector<row> rows{
      {{"--verfy", "--write", "fw.bin"}, "unknown option --verfy; did you mean --verify?"},
      {{"--Write", "fw.bin"}, "unknown option --Write; did you mean --write?"},
      {{"-w", "-v", "fw.bin"}, "unknown option -w; did you mean --write?"},
      {{"--write=yes", "fw.bin"}, "--write=yes: --write takes no value"},
      {{"--write", "--address", "--verify", "fw.bin"},
       "--address needs A after it, not the option --verify"},
      {{"fw.bin", "--address"}, "--address needs A after it, and nothing follows"},
      {{"--save", "--size", "16"}, "--save needs FILE after it, not the option --size"},
      {{"--write", "--address", "0x20000000 ", "fw.bin"},
       "--address \"0x20000000 \": ' ' is not a hex digit"},
      {{"--write", "--address", "0x20000000:", "fw.bin"},
       "--address \"0x20000000:\": ':' is not a hex digit"},
      {{"--address", "0x2000_2000", "--save", "b.bin", "--size", "0x124"},
       "--address \"0x2000_2000\": '_' is not a hex digit"},
      {{"--write", "--baudrate", "abc", "fw.bin"},
       "--baudrate \"abc\": 'a' is not a decimal digit"},
      {{"--write", "empty.bin"},
       "the image empty.bin is empty, as a truncated build leaves it: give --allow-empty to write "
       "it all the same"},
      {{"--enter", "none,R0", "fw.bin"},
       "--enter: 'none' stands alone, for no steps at all: leave it out of 'none,R0'"},
      {{"--keep-unwritten", "--verify", "fw.bin"},
       "--keep-unwritten keeps what a write's erase would clear: give --write"},
      {{"--save", "gone.bin", "--size", "16"},
       "--save gone.bin: a link that leads nowhere has that name: remove it, or save to another",
       "",
       "a POSIX symbolic link"},
      {{"--port=/dev/ttyS0", "--write", "fw.bin"},
       "--port=/dev/ttyS0 is not a word this tool reads: write it as --port /dev/ttyS0"},
      {{"--baudrate=9600", "fw.bin"},
       "--baudrate=9600 is not a word this tool reads: write it as --baudrate 9600"},
      // A patch or a board id that cannot be what was meant: nothing is
      // written, not even the bytes of the image around it.
      {{"--patch", "0x20000027:0102", "--write", "fw.bin"},
       "the patch of 2 byte(s) at 0x20000027 does not lie inside the image "
       "(0x20000000-0x20000027)"},
      {{"--patch", "0x20001000:01", "--write", "fw.hex"},
       "the patch of 1 byte(s) at 0x20001000 does not lie inside the image "
       "(0x20000000-0x2000000f, 0x20002000-0x2000200f)"},
      {{"--patch", "0x20000000:0102", "--patch", "0x20000001:03", "fw.bin"},
       "the patch of 2 byte(s) at 0x20000000 and the patch of 1 byte(s) at 0x20000001 overlap"},
      {{"--patch", "0x20000001:0102", "--patch", "0x20000000:0304", "fw.bin"},
       "the patch of 2 byte(s) at 0x20000001 and the patch of 2 byte(s) at 0x20000000 overlap"},
      {{"--patch", "0x20000000:abc", "fw.bin"},
       "--patch takes ADDRESS:HEX, HEX 1 to 256 bytes as pairs of hex digits, not "
       "0x20000000:abc"},
      {{"--board-id", "0x1FFF7A10:257", "fw.bin"},
       "--board-id takes ADDRESS:LENGTH, LENGTH from 1 to 256 bytes, not 0x1FFF7A10:257"},
      {{"--board-id", "0xFFFFFFF8:12", "fw.bin"},
       "--board-id 0xFFFFFFF8:12 runs past the end of the address space"},
      {{"--help"}, "", "usage: vexlor-prog [OPTIONS] [--] [IMAGE]\n"},
      {{"fw.bin", "-V"}, "", "vexlor-prog 1.0.0\n"},
  };
  pty_link port = open_pty_pair();
  for (const row& r : rows) {
    SCOPED_TRACE(r.refusal.empty() ? r.out : r.refusal);
    if (running_under_wine() && !r.native_only.empty()) {
      note_native_only(r.refusal, r.native_only);
      continue;
    }
    std::vector<std::string> args = {"--port", "@PORT"};
    args.insert(args.end(), r.words.begin(), r.words.end());
    if (r.refusal.empty()) {
      args.erase(args.begin(), args.begin() + 2);  // the default port, which is not opened either
    } else {
      args.insert(args.begin(), "--json");
    }
    const std::string line_log = dir + "/lines.log";
    fs::remove(line_log);
    std::vector<std::string> env;
    if (!running_under_wine()) env = line_recorder_env(line_log);
    const process_result run = run_programmer(dir, args, port.slave_path, env);
    EXPECT_TRUE(read_timed_lines(line_log).empty()) << "no port opened, no line driven";
    if (r.refusal.empty()) {
      EXPECT_EQ(run.exit_code, 0);
      EXPECT_TRUE(run.out.starts_with(r.out)) << run.out;
      continue;
    }
    EXPECT_EQ(run.exit_code, 2);
    std::vector<nlohmann::json> lines;
    ASSERT_NO_THROW(lines = json_lines(run.out)) << run.out;
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["phase"], "usage");
    EXPECT_EQ(lines[0]["reason"], r.refusal);
    EXPECT_EQ(lines[0]["exit"], 2);
  }
  EXPECT_TRUE(receive_bytes(port.master, 1, 0.2).empty()) << "nothing sent to the port";
  pty_close_master(port);
  EXPECT_EQ(file_names_in(dir),
            (std::set<std::string>{"fw.bin", "empty.bin", "fw.hex", "gone.bin"}));
}

TEST_F(E2EBadInput, WordsInAnyOrderLaterOnesWin) {
  const bytes image = pattern_bytes(500, 5);
  write_file(dir + "/image.bin", image);
  write_file(dir + "/other.bin", pattern_bytes(500, 6));
  const std::vector<std::vector<std::string>> cases = {
      {"image.bin", "--verify", "--port", "@PORT", "--write"},
      {"--port", "elsewhere", "--write", "other.bin", "--address", "0", "--port", "@PORT",
       "image.bin", "--address", "0x20000000", "--verify", "--write"},
  };
  for (const auto& args : cases) {
    const std::string dump = dir + "/memory.bin";
    fs::remove(dump);
    sim_run r = run_with_sim(args, {"--dump", "0x20000000:500:" + dump});
    EXPECT_EQ(without_reasons(r.run.out), banner + handshake_ok + ok_tail +
                                              transfer_ok("writting", 500) +
                                              transfer_ok("reading", 500) + done_ok);
    EXPECT_EQ(read_file(dump), image);
  }
}

TEST_F(E2EBadInput, BaudRatesReachTheLine) {
  if (running_under_wine()) {
    GTEST_SKIP() << "the rate is read back from the pty's Linux termios, which the Windows build "
                    "reaches only through Wine's own translation of its settings";
  }
  write_file(dir + "/image.bin", {});
  constexpr uint32_t before = 4800;
  struct baud_case {
    std::string text;
    uint32_t rate;
  };
  // A rate past the signed 32-bit range, or a number with junk, is refused
  // before the port is opened (SlipsAreRefusedBeforeALineMoves).
  const std::vector<baud_case> cases = {
      {"115200", 115200}, {"009600", 9600}, {"2147483647", 2147483647}};
  for (const baud_case& c : cases) {
    SCOPED_TRACE(c.text);
    if (!line_rate_settable(c.rate)) continue;
    sim_target sim = start_sim(dir, {});
    // Holding the line open ourselves keeps its settings readable after the
    // programmer has closed it.
    const int held = open(sim.pty_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(held, 0);
    termios2 t{};
    ioctl(held, TCGETS2, &t);
    t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT))) | BOTHER |
                (BOTHER << IBSHIFT);
    t.c_ispeed = t.c_ospeed = before;
    ioctl(held, TCSETS2, &t);
    process_result r =
        run_programmer(dir, {"--port", "@PORT", "--baudrate", c.text, "image.bin"}, sim.pty_path);
    ioctl(held, TCGETS2, &t);
    close(held);
    EXPECT_EQ(finish_sim(sim), 0);
    EXPECT_EQ(r.out, banner + handshake_ok + done_ok);  // a refused rate does not stop the run
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(t.c_ospeed, c.rate);
  }
}
