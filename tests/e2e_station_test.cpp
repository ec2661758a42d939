// The production station end to end: the real vexlor-flash-all running the
// real vexlor-prog against simulators, whose links in a folder stand for the
// adapters of /dev/serial/by-id. A line of boards with a refused erase and
// an adapter pulled out mid-run; its report, JUnit file and logs; boards
// that already hold the image; ports that come, go and come back under
// --watch; a stop in the middle; the live view on a terminal; and what the
// command line refuses. Under Wine, the Windows build with COM ports.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <thread>

#include "support/e2e.h"
#include "support/image_builders.h"
#include "support/json_lines.h"
#include "support/station_bench.h"
#include "support/test_databases.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t image_size = 3000;
constexpr uint32_t image_address = 0x20000000;

struct E2EStation : ::testing::Test {
  std::string dir = make_test_dir();
  std::string ports = dir + "/ports";
  std::vector<uint8_t> image = pattern_bytes(image_size, 18);

  void SetUp() override {
    fs::create_directory(ports);
    write_file(dir + "/image.bin", image);
  }
  void TearDown() override { fs::remove_all(dir); }

  // `sim_args` after the defaults: one session (--once) unless `sessions`;
  // linked as ports/NAME unless `link_folder` is given.
  bench_board add_board(const std::string& name, std::vector<std::string> sim_args = {},
                        bool sessions = false, const std::string& link_folder = "") {
    return start_bench_board(dir, name, (link_folder.empty() ? ports : link_folder) + "/" + name,
                             image_address, image_size, sim_args, sessions);
  }

  std::string sha256_of_image() {
    const process_result sum = run_process({"/usr/bin/sha256sum", dir + "/image.bin"}, "", {}, 10);
    return sum.out.substr(0, 64);
  }
};

// 2026-12-07T10:31:02.123Z
bool is_utc_text(const std::string& text) {
  const std::string shape = "dddd-dd-ddTdd:dd:dd.dddZ";
  if (text.size() != shape.size()) return false;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
    if (shape[i] == 'd' ? !digit : text[i] != shape[i]) return false;
  }
  return true;
}

constexpr const char* windows_test = "the Windows build has its own test: WindowsPorts";

// The read commands of a simulator's first session: a read-back sends the
// start byte, then six bytes a read command and nothing else.
std::size_t reads_of_first_session(const std::string& log) {
  std::vector<uint8_t> received;
  for (const sim_event& event : read_sim_log(log)) {
    if (event.kind == "close") break;
    if (event.kind == "rx") received.insert(received.end(), event.bytes.begin(), event.bytes.end());
  }
  std::size_t reads = 0;
  for (std::size_t at = 1; at < received.size(); at += 6) reads += received[at] == read_command;
  return reads;
}

}  // namespace

TEST_F(E2EStation, FlashesALineAndKeepsItsRecord) {
  if (running_under_wine()) GTEST_SKIP() << windows_test;
  struct row {
    std::string name;
    std::vector<std::string> faults;
    std::string outcome;
    std::string phase;
    std::string reason;  // the start of it
  };
  const std::vector<row> rows{
      {"board-a", {}, "ok", "", ""},
      {"board-b", {}, "ok", "", ""},
      {"refused",
       {"--fault", "erase.command:refuse"},
       "failed",
       "erase",
       "the target refused the erase command of sector 0 (answered 0x1f)"},
      {"pulled",
       {"--fault", "write.end:vanish@4"},
       "failed",
       "write",
       "the serial adapter was disconnected"},
  };
  std::vector<bench_board> boards;
  for (const row& r : rows) boards.push_back(add_board(r.name, r.faults));
  // An earlier shift's record stays: the report is appended to.
  const std::string earlier = "{\"port\":\"from-yesterday\",\"outcome\":\"ok\"}\n";
  write_file(dir + "/report.jsonl", {earlier.begin(), earlier.end()});

  const process_result run =
      run_station(dir, {"--ports-dir", ports, "--jobs", "3", "--report", "report.jsonl", "--junit",
                        "junit.xml", "--log-dir", "logs", "--write", "--verify", "image.bin"});
  EXPECT_EQ(run.exit_code, 1) << run.out;

  // One result line per board as it ends, in whatever order they end, then
  // the count.
  const std::vector<std::string> lines = lines_of(run.out);
  ASSERT_EQ(lines.size(), rows.size() + 1) << run.out;
  EXPECT_EQ(lines.back(), "vexlor-flash-all: 2 of 4 port(s) ok");
  const std::set<std::string> results(lines.begin(), lines.end() - 1);
  const std::string report = read_text(dir + "/report.jsonl");
  ASSERT_TRUE(report.starts_with(earlier)) << report;
  const std::vector<nlohmann::json> records = json_lines(report.substr(earlier.size()));
  ASSERT_EQ(records.size(), rows.size()) << report;
  const std::string sha256 = sha256_of_image();

  for (std::size_t i = 0; i < rows.size(); ++i) {
    const row& r = rows[i];
    SCOPED_TRACE(r.name);
    const bool ok = r.outcome == "ok";
    const std::string result =
        ok ? "ok      " + r.name : "FAILED  " + r.name + " (exit 1): " + r.reason;
    EXPECT_TRUE(std::any_of(results.begin(), results.end(), [&](const std::string& line) {
      return line.starts_with(result);
    })) << run.out;
    EXPECT_EQ(finish_sim(boards[i].sim), 0);
    if (ok) {
      EXPECT_TRUE(read_file(boards[i].memory_path) == image);
    }

    const nlohmann::json record = record_of(records, r.name);
    ASSERT_TRUE(record.is_object()) << report;
    EXPECT_EQ(record["device"], boards[i].sim.pty_path);
    EXPECT_TRUE(record["identity"].is_null());  // a pty has no USB adapter behind it
    EXPECT_EQ(record["image"], "image.bin");
    EXPECT_EQ(record["sha256"], sha256);
    EXPECT_EQ(record["size"], image_size);
    EXPECT_EQ(record["address"], image_address);
    EXPECT_EQ(record["baud"], 115200);
    EXPECT_TRUE(is_utc_text(record["start"])) << record;
    EXPECT_TRUE(is_utc_text(record["end"])) << record;
    EXPECT_LE(record["start"], record["end"]);
    EXPECT_GT(record["seconds"].get<double>(), 0);
    EXPECT_EQ(record["exit"], ok ? 0 : 1);
    EXPECT_EQ(record["outcome"], r.outcome);
    EXPECT_EQ(record["phase"], ok ? nlohmann::json(nullptr) : nlohmann::json(r.phase));
    if (!ok) {
      EXPECT_TRUE(record["reason"].get<std::string>().starts_with(r.reason)) << record;
    }
    EXPECT_EQ(record["log"], "logs/" + r.name + ".log");
    EXPECT_FALSE(record["station"].get<std::string>().empty());
    EXPECT_EQ(record["tool"], "1.0.0");
    // The log holds the run's events, its end object last.
    const std::vector<nlohmann::json> events =
        json_lines(read_text(dir + "/logs/" + r.name + ".log"));
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back()["event"], "end");
  }

  const std::string junit = dir + "/junit.xml";
  EXPECT_EQ(run_process({"/usr/bin/xmllint", "--noout", junit}, "", {}, 10).exit_code, 0);
  EXPECT_EQ(xpath(junit, "string(/testsuite/@name)"), "vexlor-flash-all");
  EXPECT_EQ(xpath(junit, "string(/testsuite/@tests)"), "4");
  EXPECT_EQ(xpath(junit, "string(/testsuite/@failures)"), "2");
  EXPECT_EQ(xpath(junit, "count(//testcase[@classname='serial'])"), "4");
  EXPECT_EQ(xpath(junit, "string(//testcase[@name='refused']/failure/@message)"),
            "erase: " + rows[2].reason);
  EXPECT_EQ(xpath(junit, "count(//testcase[@name='board-a']/failure)"), "0");
}

// The read-back that comes first is vexlor-prog with --verify alone: for an
// image with addresses it reads back the segments, never the gaps.
TEST_F(E2EStation, SkipSameLeavesABoardThatHoldsTheImage) {
  if (running_under_wine()) GTEST_SKIP() << windows_test;
  struct image_case {
    std::string what;
    std::string file;
    std::vector<placed_bytes> placed;
    std::string warning = "";  // the write's; on the board's line, in its report and row
  };
  const std::vector<placed_bytes> two = {{image_address, pattern_bytes(1000, 19)},
                                         {image_address + 0x600, pattern_bytes(1000, 20)}};
  const std::string hex = intel_hex_file(two);
  write_file(dir + "/fw.hex", std::vector<uint8_t>(hex.begin(), hex.end()));
  const std::vector<image_case> cases = {
      {"raw bytes", "image.bin", {{image_address, image}}},
      {"intel hex, two segments with a gap", "fw.hex", two,
       "erasing sector 0 also clears 0x200003E8-0x200005FF, outside the image: --keep-unwritten "
       "keeps them"},
  };
  for (const image_case& c : cases) {
    SCOPED_TRACE(c.what);
    // Several sessions each: the read-back, then the write where it is needed.
    std::vector<std::string> loads;
    std::vector<uint8_t> memory(image_size, 0xFF);  // erased flash, the gap included
    for (const placed_bytes& p : c.placed) {
      ASSERT_LE(p.address - image_address + p.bytes.size(), memory.size());
      const std::string piece = dir + "/" + hex_address(p.address) + ".piece";
      write_file(piece, p.bytes);
      loads.insert(loads.end(), {"--load", hex_address(p.address) + ":" + piece});
      std::copy(p.bytes.begin(), p.bytes.end(), memory.begin() + (p.address - image_address));
    }
    for (const char* name : {"holding", "blank"}) fs::remove(dir + "/" + name + ".sim.log");
    bench_board holding = add_board("holding", loads, true);
    bench_board blank = add_board("blank", {}, true);
    const std::string report = "report-" + c.file + ".jsonl";
    const process_result run = run_station(dir, {"--ports-dir", ports, "--skip-same", "--report",
                                                 report, "--write", "--verify", c.file});
    EXPECT_EQ(run.exit_code, 0) << run.out;
    const std::vector<std::string> lines = lines_of(run.out);
    const std::string blank_line =
        "ok      blank" + (c.warning.empty() ? "" : " (1 warning: " + c.warning + ")");
    EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()),
              (std::set<std::string>{"ok      holding (unchanged)", blank_line,
                                     "vexlor-flash-all: 2 of 2 port(s) ok"}))
        << run.out;
    const std::vector<nlohmann::json> records = json_lines(read_text(dir + "/" + report));
    const nlohmann::json warnings =
        c.warning.empty() ? nlohmann::json::array() : nlohmann::json::array({c.warning});
    EXPECT_EQ(record_of(records, "blank")["warnings"], warnings);
    EXPECT_EQ(record_of(records, "holding")["warnings"], nlohmann::json::array());
    // An unchanged board succeeded: nothing failed, so no phase and no reason.
    const nlohmann::json unchanged = record_of(records, "holding");
    EXPECT_EQ(unchanged["outcome"], "unchanged");
    EXPECT_TRUE(unchanged["phase"].is_null() && unchanged["reason"].is_null()) << unchanged;
    EXPECT_EQ(unchanged["exit"], 0);
    EXPECT_EQ(record_of(records, "blank")["outcome"], "ok");
    stop_process(holding.sim.process);
    stop_process(blank.sim.process);
    EXPECT_TRUE(read_file(blank.memory_path) == memory);
    EXPECT_TRUE(read_file(holding.memory_path) == memory);
    // The board that holds the image: read back, segment by segment, and
    // nothing else.
    std::vector<wire_range> read_back;
    for (const placed_bytes& p : c.placed) {
      read_back.push_back({read_command, p.address, static_cast<uint32_t>(p.bytes.size())});
    }
    EXPECT_EQ(wire_ranges(bytes_received(read_sim_log(holding.sim.log_path))), read_back);
    const auto erased = [](const std::string& log) {
      const std::vector<sim_event> events = read_sim_log(log);
      return std::count_if(events.begin(), events.end(),
                           [](const sim_event& e) { return e.kind == "erase"; });
    };
    EXPECT_GT(erased(blank.sim.log_path), 0);
    // The read-back ends at the first block that differs: a blank board
    // costs one block of reading, one that holds the image the whole read.
    EXPECT_EQ(reads_of_first_session(blank.sim.log_path), 1u);
  }
}

// --changed-only among the words: the station's runs keep their records
// of the boards in the station's own cache folder, and a board flashed
// again with one sector other gets that sector alone.
TEST_F(E2EStation, ChangedOnlyWritesTheSectorsThatDiffer) {
  if (running_under_wine()) GTEST_SKIP() << windows_test;
  bench_board board =
      add_board("board", {"--board-id", "0x1FFF7A10:00112233445566778899aabb"}, true);
  std::vector<uint8_t> three_sectors = pattern_bytes(0x6000, 21);
  for (int run = 0; run < 2; ++run) {
    if (run == 1) three_sectors[0x4100] ^= 0xFF;  // in sector 2
    write_file(dir + "/three.bin", three_sectors);
    const process_result station =
        run_station(dir,
                    {"--ports-dir", ports, "--report", "report.jsonl", "--write", "--verify",
                     "--changed-only", "--board-id", "0x1FFF7A10:12", "three.bin"},
                    {"XDG_CACHE_HOME=" + dir + "/cache"});
    EXPECT_EQ(station.exit_code, 0) << station.out;
  }
  std::vector<int> sectors_written;
  for (const nlohmann::json& record : json_lines(read_text(dir + "/report.jsonl"))) {
    sectors_written.push_back(record["sectors_written"]);
  }
  EXPECT_EQ(sectors_written, (std::vector<int>{3, 1}));
  EXPECT_TRUE(fs::exists(dir + "/cache/vexlor-flash-all/00112233445566778899aabb.board"));
  stop_process(board.sim.process);
}

TEST_F(E2EStation, WatchFlashesEachPortOncePerAppearance) {
  if (running_under_wine()) GTEST_SKIP() << windows_test;
  // The ports folder is not there yet, nor its parent: udev makes them when
  // the first adapter comes.
  const std::string folder = dir + "/serial/by-id";
  const std::string parked = dir + "/parked";  // where the simulators' own links are
  fs::create_directory(parked);
  bench_board first = add_board("first", {}, true, parked);
  bench_board second = add_board("second", {}, true, parked);
  child_process station =
      start_process({VEXLOR_FLASH_ALL_PATH, "--watch", "--ports-dir", folder, "--report",
                     "report.jsonl", "--junit", "junit.xml", "--write", "--verify", "image.bin"},
                    dir);
  const auto plug = [&](const bench_board& board) {
    fs::create_symlink(board.sim.pty_path, folder + "/" + board.name);
  };
  const auto expect_lines = [&](const std::vector<std::string>& expected) {
    for (const std::string& line : expected) EXPECT_EQ(read_line(station, 60), line);
  };
  // Give the station a moment to be waiting before the folder appears; it
  // must find it whether or not it was in time.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  fs::create_directories(folder);
  plug(first);
  expect_lines({"start   first", "ok      first"});
  plug(second);
  expect_lines({"start   second", "ok      second"});
  // Unplugged and plugged in again: flashed again; the other is left alone.
  fs::remove(folder + "/first");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  plug(first);
  expect_lines({"start   first", "ok      first"});
  // The folder goes with the last adapter and comes back with the next.
  fs::remove_all(dir + "/serial");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  fs::create_directories(folder);
  plug(second);
  expect_lines({"start   second", "ok      second"});
  // Unplugged and plugged in again while its run goes on, twice: one more
  // run follows that one, and one only.
  bench_board slow = add_board("slow", {"--erase-ms", "3000"}, true, parked);
  plug(slow);
  expect_lines({"start   slow"});
  // Once the run has the port (the simulator writes its open at once), its
  // erase leaves 3 s for the port to go and come back.
  wait_until(deadline_in(30), [&] { return sim_log_has(slow.sim.log_path, "open"); });
  for (int i = 0; i < 2; ++i) {
    fs::remove(folder + "/slow");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    plug(slow);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  expect_lines({"ok      slow", "start   slow", "ok      slow"});

  const process_result stopped = stop_process(station, 30);
  EXPECT_EQ(stopped.out, "vexlor-flash-all: 6 of 6 run(s) ok\n");
  EXPECT_EQ(stopped.exit_code, 0);  // SIGTERM with no run going is the normal end
  EXPECT_EQ(json_lines(read_text(dir + "/report.jsonl")).size(), 6u);
  // A board flashed again is a test case of its own.
  const std::vector<std::string> cases{"first",     "second", "first #2",
                                       "second #2", "slow",   "slow #2"};
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(xpath(dir + "/junit.xml", "string(//testcase[" + std::to_string(i + 1) + "]/@name)"),
              cases[i]);
  }
  stop_process(first.sim.process);
  stop_process(second.sim.process);
  stop_process(slow.sim.process);
}

TEST_F(E2EStation, AStopEndsEveryRunCleanlyAndKeepsTheRecord) {
  if (running_under_wine()) GTEST_SKIP() << windows_test;
  // Paced, so that the runs are still writing when the stop comes; one run
  // at a time, so that the second board is still waiting.
  std::vector<std::string> paced{"--baud", "19200"};
  bench_board going = add_board("going", paced);
  bench_board waiting = add_board("waiting", paced);
  child_process station =
      start_process({VEXLOR_FLASH_ALL_PATH, "--ports-dir", ports, "--jobs", "1", "--report",
                     "report.jsonl", "--junit", "junit.xml", "--write", "--verify", "image.bin"},
                    dir);
  // The run is under way once the simulator has taken the start byte.
  wait_until(deadline_in(30), [&] { return read_sim_log(going.sim.log_path).size() >= 3; });
  const process_result stopped = stop_process(station, 30);
  EXPECT_EQ(stopped.exit_code, 128 + SIGTERM) << stopped.out;
  EXPECT_EQ(stopped.out,
            "STOPPED going (exit 143): stopped by SIGTERM\n"
            "STOPPED waiting (not run): stopped before its run began\n"
            "vexlor-flash-all: 0 of 2 port(s) ok\n");
  EXPECT_EQ(finish_sim(going.sim), 0);  // the run closed the port as it ended
  stop_process(waiting.sim.process);
  const std::vector<nlohmann::json> records = json_lines(read_text(dir + "/report.jsonl"));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["outcome"], "stopped");
  EXPECT_EQ(records[0]["phase"], "signal");
  const std::string junit = dir + "/junit.xml";
  EXPECT_EQ(xpath(junit, "string(/testsuite/@tests)"), "2");
  EXPECT_EQ(xpath(junit, "string(/testsuite/@failures)"), "2");
  EXPECT_EQ(xpath(junit, "count(//failure[starts-with(@message, 'stopped')])"), "2");
}

TEST_F(E2EStation, LiveViewOnATerminal) {
  if (running_under_wine()) GTEST_SKIP() << windows_test;
  fs::create_directory(dir + "/idle");
  write_file(dir + "/large.bin", pattern_bytes(8192, 3));
  const std::string station = std::string(VEXLOR_FLASH_ALL_PATH) + " ";
  struct row {
    std::string what;
    std::string command;
    bool boards;
    std::vector<std::string> drawn;  // each is in some row the live view drew
    std::vector<std::string> last;   // the screen at the end, sorted
  };
  const std::vector<row> rows{
      {"two boards, one at a time: under way, the time left, waiting, the tally",
       station + "--ports-dir " + ports + " --jobs 1 --write --verify large.bin",
       true,
       {"% ", " left", "  waiting", "0 ok, 0 failed, 0 stopped, 1 running, 1 waiting",
        "1 ok, 0 failed, 0 stopped, 1 running, 0 waiting"},
       {"ok      one", "ok      two", "vexlor-flash-all: 2 of 2 port(s) ok"}},
      {"an idle --watch says what it waits for",
       "timeout --preserve-status -s TERM 3 " + station + "--watch --ports-dir " + dir +
           "/idle --write large.bin",
       false,
       {"waiting for boards in " + dir + "/idle",
        "0 ok, 0 failed, 0 stopped, 0 running, 0 waiting"},
       {"vexlor-flash-all: 0 of 0 run(s) ok"}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    // Paced, so that the boards are seen under way.
    std::vector<bench_board> boards;
    if (r.boards) {
      for (const char* name : {"one", "two"})
        boards.push_back(add_board(name, {"--baud", "115200"}));
    }
    // script(1) gives the station a terminal of its own, as an operator's is.
    const process_result run =
        run_process({"/usr/bin/script", "-qec", r.command, "/dev/null"}, dir, {}, 120);
    EXPECT_EQ(run.exit_code, 0) << run.out;
    // Replays the output on a screen of lines: carriage return, line feed,
    // cursor up, erase to the end of the line and below; each row as it was
    // when a line feed left it.
    std::vector<std::string> screen{""}, drawn;
    std::size_t at = 0, column = 0;
    for (std::size_t i = 0; i < run.out.size(); ++i) {
      const char c = run.out[i];
      if (c == '\r') {
        column = 0;
      } else if (c == '\n') {
        drawn.push_back(screen[at]);
        if (++at == screen.size()) screen.emplace_back();
        column = 0;
      } else if (c == '\x1b' && run.out.compare(i, 2, "\x1b[") == 0) {
        std::size_t end = i + 2;
        while (end < run.out.size() && std::isdigit(static_cast<unsigned char>(run.out[end])))
          ++end;
        const int count = end > i + 2 ? std::stoi(run.out.substr(i + 2, end - i - 2)) : 1;
        if (run.out[end] == 'A') at -= std::min<std::size_t>(at, static_cast<std::size_t>(count));
        if (run.out[end] == 'K' || run.out[end] == 'J') screen[at].resize(column);
        if (run.out[end] == 'J') screen.resize(at + 1);
        i = end;
      } else {
        if (screen[at].size() <= column) screen[at].resize(column + 1, ' ');
        screen[at][column++] = c;
      }
    }
    for (const std::string& part : r.drawn) {
      EXPECT_TRUE(std::any_of(
          drawn.begin(), drawn.end(),
          [&](const std::string& line) { return line.find(part) != std::string::npos; }))
          << "never drawn: " << part;
    }
    while (!screen.empty() && screen.back().empty()) screen.pop_back();
    std::sort(screen.begin(), screen.end());
    EXPECT_EQ(screen, r.last) << run.out;
    for (bench_board& board : boards) EXPECT_EQ(finish_sim(board.sim), 0);
  }
}

TEST_F(E2EStation, WhatTheCommandLineAndThePortsFolderRefuse) {
  if (running_under_wine()) GTEST_SKIP() << windows_test;
  struct row {
    std::string what;
    std::vector<std::string> args;
    int exit_code;
    std::string says;  // a line of the output begins with it
    std::vector<std::string> env = {};
  };
  fs::create_directory(dir + "/empty");
  fs::create_symlink(dir + "/no-such-device", ports + "/unplugged");
  write_file(dir + "/empty.bin", {});
  write_file(dir + "/broken.hex", text_bytes(":0400000001020304F3\n:00000001FF\n"));
  const std::string earlier = "{\"port\":\"from-yesterday\",\"outcome\":\"ok\"}\n";
  write_file(dir + "/earlier.jsonl", {earlier.begin(), earlier.end()});
  fs::create_symlink("earlier.jsonl", dir + "/link.xml");
  const std::vector<row> rows{
      {"--port among the words",
       {"--write", "--port", "/dev/ttyUSB0", "image.bin"},
       2,
       "vexlor-flash-all: --port among vexlor-prog's words"},
      {"a station option after the words",
       {"--write", "image.bin", "--report", "r.jsonl"},
       2,
       "vexlor-flash-all: --report after vexlor-prog's words"},
      {"no runs at all", {"--jobs", "0", "--write", "image.bin"}, 2, "vexlor-flash-all: --jobs"},
      {"--watch with --port",
       {"--watch", "--port", "a", "--write", "image.bin"},
       2,
       "vexlor-flash-all: --watch flashes the ports that appear"},
      {"--skip-same without a write",
       {"--skip-same", "--verify", "image.bin"},
       2,
       "vexlor-flash-all: --skip-same"},
      {"neither --write nor --verify: nothing would be flashed",
       {"--ports-dir", ports, "--report", "r.jsonl", "image.bin"},
       2,
       "vexlor-flash-all: neither --write nor --verify among vexlor-prog's words"},
      {"the report and the JUnit file are one file",
       {"--ports-dir", ports, "--report", "r.jsonl", "--junit", "./r.jsonl", "--write",
        "image.bin"},
       2,
       "vexlor-flash-all: --report and --junit name the same file"},
      {"... through a link",
       {"--ports-dir", ports, "--report", "earlier.jsonl", "--junit", "link.xml", "--write",
        "image.bin"},
       2,
       "vexlor-flash-all: --report and --junit name the same file"},
      {"a JUnit path that is a folder",
       {"--ports-dir", ports, "--junit", "empty", "--write", "image.bin"},
       2,
       "vexlor-flash-all: --junit empty is a folder"},
      {"a log folder that cannot be written",
       {"--ports-dir", ports, "--log-dir", "/proc", "--write", "image.bin"},
       2,
       "vexlor-flash-all: cannot write in the log folder /proc"},
      {"a report that cannot be written",
       {"--ports-dir", ports, "--report", dir + "/missing/r.jsonl", "--write", "image.bin"},
       2,
       "vexlor-flash-all: cannot open the report"},
      {"no programmer to run",
       {"--ports-dir", ports, "--write", "image.bin"},
       2,
       "vexlor-flash-all: VEXLOR_PROG=",
       {"VEXLOR_PROG=" + dir + "/image.bin"}},
      {"no ports folder",
       {"--ports-dir", dir + "/none", "--write", "image.bin"},
       1,
       "vexlor-flash-all: no ports folder " + dir + "/none"},
      {"an empty ports folder",
       {"--write", "image.bin"},
       1,
       "vexlor-flash-all: no serial adapter found in " + dir + "/empty",
       {"VEXLOR_PORTS_DIR=" + dir + "/empty"}},
      {"a port whose device is gone: its run says why",
       {"--ports-dir", ports, "--write", "image.bin"},
       1,
       "FAILED  unplugged (exit 1): no such device"},
      {"-h is --help: no board is touched", {"-h", "--ports-dir", ports}, 0, "usage:"},
      {"-V is --version", {"-V"}, 0, "vexlor-flash-all 1.0.0"},
      {"the image missing: no run each",
       {"--ports-dir", ports, "--report", "r.jsonl", "--write", "missing.bin"},
       2,
       "vexlor-flash-all: cannot open the image missing.bin: no such file"},
      {"the image a folder",
       {"--ports-dir", ports, "--report", "r.jsonl", "--verify", "empty"},
       2,
       "vexlor-flash-all: cannot open the image empty: is a directory"},
      {"the image empty, as a truncated build leaves it",
       {"--ports-dir", ports, "--report", "r.jsonl", "--write", "empty.bin"},
       2,
       "vexlor-flash-all: vexlor-prog would refuse its words: the image empty.bin is empty"},
      {"the image meant as records and broken: no run each",
       {"--ports-dir", ports, "--report", "r.jsonl", "--write", "broken.hex"},
       2,
       "vexlor-flash-all: cannot read the image broken.hex: read as an intel hex file: line 1: "
       "checksum mismatch"},
      {"--allow-empty: the runs go on",
       {"--ports-dir", ports, "--allow-empty", "--write", "empty.bin"},
       1,
       "FAILED  unplugged (exit 1): no such device"},
      {"--list: the device a link leads to, and no identity",
       {"--list", "--ports-dir", ports},
       0,
       "unplugged\t" + dir + "/no-such-device\t-"},
      // A connection string's password is never shown.
      {"a URI libpq cannot read",
       {"--db", "postgresql://line3:topsecret@[::1:54329/line3", "--history"},
       2,
       "vexlor-flash-all: the PostgreSQL connection string given to --db holds an IPv6 address "
       "without its closing ] (it is not shown: it may hold a password)"},
      {"a password in a keyword string, warned of",
       {"--db", "host=" + dir + " dbname=line3 password=topsecret", "--history"},
       2,
       "vexlor-flash-all: --db holds a password, which every user of this machine can read in the "
       "process list: keep it in a password file (PGPASSFILE) or a service file (PGSERVICEFILE)"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    const process_result run = run_station(dir, r.args, r.env, 60);
    EXPECT_EQ(run.exit_code, r.exit_code) << run.out;
    EXPECT_EQ(run.out.find("topsecret"), std::string::npos) << run.out;
    const std::vector<std::string> lines = lines_of(run.out);
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.starts_with(r.says);
    })) << run.out;
  }
  EXPECT_FALSE(fs::exists(dir + "/r.jsonl"));
  EXPECT_EQ(read_text(dir + "/earlier.jsonl"), earlier);
}

TEST_F(E2EStation, BashCompletion) {
  if (running_under_wine()) GTEST_SKIP() << windows_test;
  const std::string completions =
      (fs::path(__FILE__).parent_path().parent_path() / "completions").string();
  struct row {
    std::string words;  // the command line up to the word being completed
    std::string offered;
  };
  const std::vector<row> rows{
      {"vexlor-flash-all --jo", "--jobs"},
      {"vexlor-flash-all --jobs 4 --skip-same --wr", "--write"},
      {"vexlor-flash-all -h --skip-same --allow-empty --al", "--allow-empty"},
      {"vexlor-flash-all --write --verify --ba", "--baudrate"},
      {"vexlor-flash-all --write --baudrate 1152", "115200"},
      {"vexlor-flash-all --write --po", ""},  // the station names the ports
      {"vexlor-prog --po", "--port"},
      {"vexlor-sim --rea", "--ready-file"},
      {"vexlor-sim --fault erase.f", "erase.final:"},
      {"vexlor-prog --board-id 0x1FFF7A10:12 --pa", "--patch"},
      {"vexlor-flash-all --write --board-id 0x1FFF7A10:12 --chan", "--changed-only"},
      {"vexlor-flash-all --db r.db --serial-format u3", "u32le u32be"},
      // Without --history, --board-id is vexlor-prog's and begins its words.
      {"vexlor-flash-all --db r.db --board-id 0x1FFF7A10:12 --se", ""},
      {"vexlor-flash-all --db r.db --history --board-id 0a1b --si", "--since"},
      {"vexlor-flash-all --db r.db --history --outcome f", "failed"},
      {"vexlor-flash-all --db r.db --serial-pool line3 --release-s", "--release-serial"},
      {"vexlor-flash-all --db r.db --summary --by b", "boot-line"},
      {"vexlor-flash-all --write --expect 'app v1' --expect-w", "--expect-within"},
      {"vexlor-prog --expect v1 --mon", "--monitor --monitor-for"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.words);
    const std::string command = r.words.substr(0, r.words.find(' '));
    std::string function = "_" + command;
    std::replace(function.begin(), function.end(), '-', '_');
    // As bash sets them for a completion function, then the function.
    const std::string script = ". " + completions + "/" + command + "; COMP_WORDS=(" + r.words +
                               "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); " + function +
                               "; echo \"${COMPREPLY[*]}\"";
    const process_result run = run_process({"/bin/bash", "-c", script}, dir, {}, 10);
    EXPECT_EQ(run.out, r.offered + "\n");
  }
}

TEST_F(E2EStation, WindowsPorts) {
  if (!running_under_wine()) GTEST_SKIP() << "the Windows build under Wine";
  // COM numbers of their own, apart from the programmer's tests (10 to 209).
  const int number = 210 + static_cast<int>(getpid() % 20) * 2;
  bench_board good = add_board("good", {});
  bench_board refused = add_board("refused", {"--fault", "erase.command:refuse"});
  const std::string good_port = wine_com_port(number, good.sim.pty_path);
  const std::string refused_port = wine_com_port(number + 1, refused.sim.pty_path);
  const process_result run =
      run_station(dir, {"--port", good_port, "--port", refused_port, "--report", "report.jsonl",
                        "--write", "--verify", "image.bin"});
  EXPECT_EQ(run.exit_code, 1) << run.out;
  const std::vector<std::string> lines = lines_of(run.out);
  EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()),
            (std::set<std::string>{"ok      " + good_port,
                                   "FAILED  " + refused_port +
                                       " (exit 1): the target refused the erase command of sector "
                                       "0 (answered 0x1f)",
                                   "vexlor-flash-all: 1 of 2 port(s) ok"}))
      << run.out;
  EXPECT_EQ(finish_sim(good.sim), 0);
  EXPECT_TRUE(read_file(good.memory_path) == image);
  finish_sim(refused.sim);
  const std::vector<nlohmann::json> records = json_lines(read_text(dir + "/report.jsonl"));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(record_of(records, good_port)["device"], "\\\\.\\" + good_port);
  EXPECT_EQ(record_of(records, refused_port)["phase"], "erase");
  wine_com_port(number, "");
  wine_com_port(number + 1, "");

  // --list: what the registry's SERIALCOMM key lists, the driver's device
  // beside each COM name. The key is rebuilt whenever Wine starts afresh, so
  // a value the test adds goes with it.
  const std::string key = "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
  const std::string device = "\\Device\\VexlorTest" + std::to_string(number);
  const std::string wine = "/usr/bin/wine";
  run_process({wine, "reg", "add", key, "/v", device, "/d", "COM" + std::to_string(number), "/f"},
              dir, {"WINEDEBUG=-all"}, 60, child_output::captured_quiet);
  const process_result list = run_station(dir, {"--list"});
  run_process({wine, "reg", "delete", key, "/v", device, "/f"}, dir, {"WINEDEBUG=-all"}, 60,
              child_output::captured_quiet);
  EXPECT_EQ(list.exit_code, 0);
  const std::vector<std::string> listed = lines_of(list.out);
  EXPECT_NE(std::find(listed.begin(), listed.end(),
                      "COM" + std::to_string(number) + "\t" + device + "\t-"),
            listed.end())
      << list.out;
  // No ports folder on Windows, so no --watch.
  EXPECT_EQ(run_station(dir, {"--watch", "--write", "image.bin"}).exit_code, 2);
  // No record database in the Windows build: refused before any board is
  // touched, nothing made.
  EXPECT_EQ(
      run_station(dir, {"--db", "r.db", "--port", good_port, "--write", "image.bin"}).exit_code, 2);
  EXPECT_FALSE(fs::exists(dir + "/r.db"));
}

namespace {

constexpr const char* id_place = "0x1FFF7A10:12";
constexpr uint32_t serial_at = image_address + 0x100;

// The station's records and serial numbers on an SQLite file and on a
// PostgreSQL database, each fresh for every test.
struct E2EStationRecords : E2EStation {
  static inline test_postgres postgres;
  static void SetUpTestSuite() {
    if (!running_under_wine()) test_postgres_start(postgres);
  }
  static void TearDownTestSuite() { test_postgres_stop(postgres); }

  // A board in a ports folder of its own, with sessions: the run that
  // reads its id comes before the flash.
  bench_board board_in(const std::string& folder, const std::string& name,
                       std::vector<std::string> sim_args) {
    fs::create_directories(folder);
    fs::remove(dir + "/" + name + ".sim.log");  // from the other database's round
    sim_args.insert(sim_args.begin(), {"--board-id", "0x1FFF7A10:random"});
    return add_board(name, sim_args, true, folder);
  }

  // The boards in `folder` flashed with numbers of `pool`, each board's id
  // read first.
  std::vector<std::string> serial_run(const test_database& db, const std::string& folder,
                                      const std::string& format, int expected_exit,
                                      const std::string& pool = "line3") {
    fs::create_directories(folder);
    const process_result run = run_station(
        dir, {"--ports-dir", folder, "--db", db.target, "--serial-pool", pool, "--serial-first",
              "1", "--serial-at", hex_address(serial_at), "--serial-format", format, "--write",
              "--verify", "--board-id", id_place, "image.bin"});
    EXPECT_EQ(run.exit_code, expected_exit) << run.out;
    return lines_of(run.out);
  }

  std::vector<nlohmann::json> history(const test_database& db, std::vector<std::string> filter) {
    filter.insert(filter.begin(), {"--db", db.target, "--history"});
    const process_result run = run_station(dir, filter);
    EXPECT_EQ(run.exit_code, 0) << run.out;
    return json_lines(run.out);
  }
};

// The number a result line names: "ok      NAME (serial 1042)".
uint64_t serial_named(const std::string& line) {
  const std::size_t at = line.find("serial ");
  return at == std::string::npos ? 0 : std::stoull(line.substr(at + 7));
}

// The number the board's flash holds at serial_at, read in `format`.
uint64_t serial_held(const std::vector<uint8_t>& memory, const std::string& format) {
  const auto field = memory.begin() + (serial_at - image_address);
  if (format.starts_with("dec:")) {
    return std::stoull(std::string(field, field + std::stoi(format.substr(4))));
  }
  const std::size_t width = format.starts_with("u32") ? 4 : 8;
  uint64_t number = 0;
  for (std::size_t i = 0; i < width; ++i) {
    const std::size_t byte = format.ends_with("le") ? width - 1 - i : i;
    number = number << 8 | field[static_cast<std::ptrdiff_t>(byte)];
  }
  return number;
}

}  // namespace

// Two stations at once on one database draw from one pool: every number
// once, each board's flash holding its own in the chosen format, the rest
// of the image as it is.
TEST_F(E2EStationRecords, TwoStationsDrawFromOnePool) {
  if (running_under_wine()) GTEST_SKIP() << "the Windows build keeps no database";
  for (const test_database& db : test_databases(postgres, dir)) {
    SCOPED_TRACE(db.name);
    const std::string format = db.name == "SQLite" ? "u32be" : "dec:6";
    std::vector<bench_board> boards;
    std::vector<child_process> stations;
    for (const std::string station : {"east", "west"}) {
      const std::string folder = dir + "/" + db.name + station;
      for (int i = 0; i < 2; ++i) {
        boards.push_back(board_in(folder, station + std::to_string(i), {}));
      }
      stations.push_back(start_process(
          {VEXLOR_FLASH_ALL_PATH, "--ports-dir", folder, "--db", db.target, "--serial-pool",
           "line3", "--serial-first", "1000", "--serial-at", hex_address(serial_at),
           "--serial-format", format, "--write", "--verify", "--board-id", id_place, "image.bin"},
          dir));
    }
    std::map<std::string, uint64_t> numbers;  // by board
    for (child_process& station : stations) {
      const process_result run = wait_process(station, 120);
      EXPECT_EQ(run.exit_code, 0) << run.out;
      for (const std::string& line : lines_of(run.out)) {
        if (line.starts_with("ok      "))
          numbers[line.substr(8, line.find(' ', 8) - 8)] = serial_named(line);
      }
    }
    std::set<uint64_t> distinct;
    for (bench_board& board : boards) {
      SCOPED_TRACE(board.name);
      stop_process(board.sim.process);
      std::vector<uint8_t> memory = read_file(board.memory_path);
      ASSERT_EQ(memory.size(), image.size());
      EXPECT_EQ(serial_held(memory, format), numbers[board.name]);
      distinct.insert(numbers[board.name]);
      // Only the number's bytes differ from the image.
      const std::size_t width = format == "u32be" ? 4 : 6;
      std::copy_n(image.begin() + 0x100, width, memory.begin() + 0x100);
      EXPECT_TRUE(memory == image);
    }
    EXPECT_EQ(distinct, (std::set<uint64_t>{1000, 1001, 1002, 1003}));
  }
}

// A number a run wrote nothing with goes back to the pool; a board keeps
// its own when flashed again; a station killed mid-run leaves its number
// taken for good; the history and the summary tell it all.
TEST_F(E2EStationRecords, NumbersGoBackStayWithTheirBoardsAndSurviveAKill) {
  if (running_under_wine()) GTEST_SKIP() << "the Windows build keeps no database";
  for (const test_database& db : test_databases(postgres, dir)) {
    SCOPED_TRACE(db.name);
    const std::string at = dir + "/" + db.name;
    // The board's id is read, then its flash's handshake is refused.
    bench_board refused = board_in(at + "/a", "refused", {"--fault", "start:refuse@2"});
    EXPECT_TRUE(serial_run(db, at + "/a", "u64le", 1)[0].starts_with(
        "FAILED  refused (exit 1, serial 1 returned): the target refused the start byte"));
    stop_process(refused.sim.process);

    bench_board keeper =
        board_in(at + "/b", "keeper", {"--board-id", "0x1FFF7A10:00112233445566778899aabb"});
    EXPECT_EQ(serial_run(db, at + "/b", "u64le", 0)[0], "ok      keeper (serial 1)");
    EXPECT_EQ(serial_run(db, at + "/b", "u64le", 0)[0], "ok      keeper (serial 1 kept)");
    stop_process(keeper.sim.process);
    EXPECT_EQ(serial_held(read_file(keeper.memory_path), "u64le"), 1u);

    // Killed once its board's flash is under way: its number is never
    // handed out again.
    bench_board slow = board_in(at + "/c", "slow", {"--baud", "19200"});
    child_process killed =
        start_process({VEXLOR_FLASH_ALL_PATH, "--ports-dir", at + "/c", "--db", db.target,
                       "--serial-pool", "line3", "--serial-at", hex_address(serial_at),
                       "--serial-format", "u64le", "--write", "--board-id", id_place, "image.bin"},
                      dir);
    wait_until(deadline_in(60), [&] { return sim_log_has(slow.sim.log_path, "erase"); });
    kill(killed.pid, SIGKILL);
    EXPECT_EQ(wait_process(killed, 30).exit_code, 128 + SIGKILL);
    stop_process(slow.sim.process);  // its run, left behind, ends with the line
    bench_board after = board_in(at + "/d", "after", {});
    EXPECT_EQ(serial_run(db, at + "/d", "u64le", 0)[0], "ok      after (serial 3)");
    stop_process(after.sim.process);
    EXPECT_EQ(serial_held(read_file(after.memory_path), "u64le"), 3u);
    EXPECT_TRUE(history(db, {"--serial", "2"}).empty());
    // Every run names the image its station was started with.
    EXPECT_EQ(history(db, {"--serial", "3"}).at(0)["station_sha256"], sha256_of_image());

    // --since the keeper's first run: the refused board's run before it left out.
    const std::vector<nlohmann::json> every_run = history(db, {});
    ASSERT_EQ(every_run.size(), 4u);
    std::vector<std::string> ports_since;
    for (const nlohmann::json& run : history(db, {"--since", every_run[1]["start"]})) {
      ports_since.push_back(run["port"]);
    }
    EXPECT_EQ(ports_since, (std::vector<std::string>{"keeper", "keeper", "after"}));

    // One board's runs, oldest first; the day's yield.
    std::vector<std::string> states;
    for (const nlohmann::json& run : history(db, {"--board-id", "00112233445566778899AABB"})) {
      EXPECT_EQ(run["serial_number"], 1);
      EXPECT_EQ(run["port"], "keeper");
      states.push_back(run["serial_state"]);
    }
    EXPECT_EQ(states, (std::vector<std::string>{"spent", "kept"}));
    const process_result summary =
        run_station(dir, {"--db", db.target, "--summary", "--since", "2000-01-01"});
    EXPECT_EQ(summary.out,
              "  runs  boards      ok  unchanged  failed  first-pass yield  image\n"
              "     4       3       2          0       1         2/3  66.7%  " +
                  sha256_of_image() + "\n");
  }
}

// A board that fails once a write block has gone to it keeps its number
// with its id: its flash may hold the number (here it does), so the next
// board gets the next one. One that fails before its first write block,
// its flash erased but nothing written, gives its number to the next board.
// Either way no two boards hold one number.
TEST_F(E2EStationRecords, AFailedBoardKeepsItsNumberOnceAWriteBlockWasSent) {
  if (running_under_wine()) GTEST_SKIP() << "the Windows build keeps no database";
  struct row {
    std::string board;  // the one that fails; its number's pool is its own
    std::string id;
    std::string fault;
    std::string failed;  // the start of its result line
    std::string state;   // its number's, on its run's record
    uint64_t next;       // the next board's number
  };
  const std::vector<row> rows{
      {"erase-refused", "0000000000000000000000e1", "erase.command:refuse",
       "FAILED  erase-refused (exit 1, serial 1 returned): the target refused the erase command",
       "returned", 1},
      // The number lies in the second block: the third refused, the board
      // holds it.
      {"write-refused", "0000000000000000000000e2", "write.command:refuse@3",
       "FAILED  write-refused (exit 1, serial 1 spent): the target refused the write command",
       "spent", 2},
  };
  for (const test_database& db : test_databases(postgres, dir)) {
    SCOPED_TRACE(db.name);
    for (const row& r : rows) {
      SCOPED_TRACE(r.board);
      const std::string at = dir + "/" + db.name + "/" + r.board;
      bench_board failing =
          board_in(at + "/a", r.board, {"--board-id", "0x1FFF7A10:" + r.id, "--fault", r.fault});
      const std::string failed = serial_run(db, at + "/a", "u64le", 1, r.board)[0];
      EXPECT_TRUE(failed.starts_with(r.failed)) << failed;
      bench_board next = board_in(at + "/b", "next", {});
      EXPECT_EQ(serial_run(db, at + "/b", "u64le", 0, r.board)[0],
                "ok      next (serial " + std::to_string(r.next) + ")");
      const std::vector<nlohmann::json> runs = history(db, {"--board-id", r.id});
      ASSERT_EQ(runs.size(), 1u);
      EXPECT_EQ(runs[0]["serial_number"], 1);
      EXPECT_EQ(runs[0]["serial_state"], r.state);
      stop_process(failing.sim.process);
      stop_process(next.sim.process);
      const uint64_t failing_holds = serial_held(read_file(failing.memory_path), "u64le");
      const uint64_t next_holds = serial_held(read_file(next.memory_path), "u64le");
      EXPECT_EQ(next_holds, r.next);
      if (r.state == "spent") {
        EXPECT_EQ(failing_holds, 1u);
      }
      EXPECT_NE(failing_holds, next_holds);
    }
  }
}

namespace {

// A fault the station's records must come through, reproduced on each
// database with real boards; at the end of each round every number drawn
// is on one board at most, as the boards' flash says.
struct RecordsFault;
struct records_fault {
  std::string what;
  std::function<void(RecordsFault& bench, const test_database& db, const std::string& at)>
      reproduce;
};

void PrintTo(const records_fault& row, std::ostream* out) { *out << row.what; }

constexpr const char* clone_id = "0x1FFF7A10:00112233445566778899aabb";
// A board's erase, in ms, long enough for a database to be lost while it
// lasts: a server's stop on a loaded machine takes seconds, and the run's
// record must come after it.
constexpr const char* erase_outlasting_a_loss = "6000";

struct RecordsFault : E2EStationRecords, ::testing::WithParamInterface<records_fault> {
  std::vector<bench_board> boards;  // the round's, each flashed with numbers of pool "line3"

  bench_board& board(const std::string& folder, const std::string& name,
                     const std::vector<std::string>& sim_args = {}) {
    return boards.emplace_back(board_in(folder, name, sim_args));
  }

  // The station's words for a flash with numbers of pool "line3" (u32le),
  // each board's id read first, `options` last of the station's.
  std::vector<std::string> flash_words(const test_database& db, const std::string& folder,
                                       const std::vector<std::string>& options = {},
                                       const char* id = id_place) {
    std::vector<std::string> words{
        "--ports-dir",     folder,  "--db",        db.target,
        "--serial-pool",   "line3", "--serial-at", hex_address(serial_at),
        "--serial-format", "u32le"};
    words.insert(words.end(), options.begin(), options.end());
    words.insert(words.end(), {"--write", "--verify", "--board-id", id, "image.bin"});
    return words;
  }

  // Every board's flash read back: no number on two boards.
  void expect_numbers_on_one_board() {
    std::map<uint64_t, std::string> holders;
    for (bench_board& b : boards) {
      stop_process(b.sim.process);
      const std::vector<uint8_t> memory = read_file(b.memory_path);
      std::vector<uint8_t> unnumbered = memory;
      if (memory.size() != image.size()) continue;  // never written
      std::copy_n(image.begin() + 0x100, 4, unnumbered.begin() + 0x100);
      if (unnumbered != image || unnumbered == memory) continue;  // not the image, or no number
      const uint64_t number = serial_held(memory, "u32le");
      EXPECT_FALSE(holders.count(number))
          << "serial " << number << " on " << holders[number] << " and " << b.name;
      holders[number] = b.name;
    }
    boards.clear();
  }
};

// The records waiting in a spool folder.
std::set<std::string> spooled_names(const std::string& folder) {
  std::set<std::string> names;
  for (const std::string& name : file_names_in(folder)) {
    if (name.starts_with("vexlor-record-")) names.insert(name);
  }
  return names;
}

bool has_line(const std::vector<std::string>& lines, const std::string& start) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return line.starts_with(start); });
}

const std::vector<records_fault> records_faults{
    {"ids all zeros take no number",
     [](RecordsFault& b, const test_database& db, const std::string& at) {
       b.board(at, "zeros-1");
       b.board(at, "zeros-2");
       // The ids are at 0x1FFF7A10: 0x1FFF7A00 reads alike on every board.
       const process_result run =
           run_station(b.dir, b.flash_words(db, at, {"--serial-first", "1"}, "0x1FFF7A00:12"));
       EXPECT_EQ(run.exit_code, 1) << run.out;
       for (const char* name : {"zeros-1", "zeros-2"}) {
         EXPECT_TRUE(has_line(lines_of(run.out),
                              std::string("FAILED  ") + name +
                                  " (exit 0): the board id at 0x1fff7a00 reads 00 in every "
                                  "byte: not a unique id"))
             << run.out;
       }
       EXPECT_TRUE(b.history(db, {"--serial", "1"}).empty());
     }},
    {"cloned ids: one board of one station takes a number",
     [](RecordsFault& b, const test_database& db, const std::string& at) {
       // Slow erases, so that both boards are under way together.
       for (const char* name : {"clone-1", "clone-2"}) {
         b.board(at, name, {"--board-id", clone_id, "--erase-ms", "1500"});
       }
       const process_result run =
           run_station(b.dir, b.flash_words(db, at, {"--serial-first", "1"}));
       EXPECT_EQ(run.exit_code, 1) << run.out;
       const std::vector<std::string> lines = lines_of(run.out);
       EXPECT_TRUE(has_line(lines, "ok      clone-1 (serial 1)") ||
                   has_line(lines, "ok      clone-2 (serial 1)"))
           << run.out;
       EXPECT_NE(run.out.find(": board id 00112233445566778899aabb is also on clone-"),
                 std::string::npos)
           << run.out;
     }},
    {"cloned ids: one board of two stations takes a number",
     [](RecordsFault& b, const test_database& db, const std::string& at) {
       std::vector<child_process> stations;
       for (const std::string station : {"east", "west"}) {
         b.board(at + "/" + station, station, {"--board-id", clone_id, "--erase-ms", "1500"});
         std::vector<std::string> argv =
             b.flash_words(db, at + "/" + station, {"--station", station, "--serial-first", "1"});
         argv.insert(argv.begin(), VEXLOR_FLASH_ALL_PATH);
         stations.push_back(start_process(argv, b.dir));
       }
       std::string out;
       int failed = 0;
       for (child_process& station : stations) {
         const process_result run = wait_process(station, 120);
         out += run.out;
         failed += run.exit_code == 1;
       }
       EXPECT_EQ(failed, 1) << out;
       EXPECT_NE(out.find(": board id 00112233445566778899aabb is also on "), std::string::npos)
           << out;
     }},
    {"a board swapped between its id read and its flash",
     [](RecordsFault& b, const test_database& db, const std::string& at) {
       b.board(at, "seated");
       // Its erase takes long enough for the station's stop to come first.
       const bench_board& swapped_in =
           b.board(at + "-elsewhere", "swapped-in", {"--erase-ms", "3000"});
       // The flash goes to another board than the one whose id was read.
       write_stand_in(b.dir + "/swap", "case \" $* \" in *\" --write \"*) shift 2; exec " +
                                           std::string(VEXLOR_PROG_PATH) + " --port " +
                                           swapped_in.sim.pty_path + " \"$@\";; esac\nexec " +
                                           VEXLOR_PROG_PATH + " \"$@\"");
       const process_result run = run_station(b.dir, b.flash_words(db, at, {"--serial-first", "1"}),
                                              {"VEXLOR_PROG=" + b.dir + "/swap"});
       EXPECT_EQ(run.exit_code, 1) << run.out;
       EXPECT_TRUE(has_line(lines_of(run.out),
                            "FAILED  seated (exit 143, serial 1 returned): the "
                            "board changed between its id read and its flash"))
           << run.out;
     }},
    {"a database or a pool mistyped starts none",
     [](RecordsFault& b, const test_database& db, const std::string& at) {
       b.board(at + "/first", "first");
       EXPECT_EQ(
           run_station(b.dir, b.flash_words(db, at + "/first", {"--serial-first", "1"})).exit_code,
           0);
       const bench_board& untouched = b.board(at + "/typo", "untouched");
       const bool sqlite = db.name == "SQLite";
       struct typo {
         test_database db;
         std::vector<std::string> options;
         std::string says;
       };
       std::string mistyped = db.target;
       mistyped.insert(sqlite ? mistyped.size() : mistyped.find('?'), "x");
       const std::vector<typo> typos{
           {{db.name, mistyped},
            {},
            sqlite
                ? "vexlor-flash-all: there is no record database " + mistyped + ": give --db-create"
                : "vexlor-flash-all: cannot open the PostgreSQL database: "},
           {db, {"--serial-pool", "lin3"}, "vexlor-flash-all: there is no serial pool lin3 in "},
           {db,
            {"--serial-first", "5"},
            "vexlor-flash-all: serial pool line3 starts at 1 (its next number is 2), not at 5"},
       };
       for (const typo& t : typos) {
         SCOPED_TRACE(t.says);
         const process_result run =
             run_station(b.dir, b.flash_words(t.db, at + "/typo", t.options));
         EXPECT_EQ(run.exit_code, 2) << run.out;
         EXPECT_TRUE(run.out.starts_with(t.says)) << run.out;
       }
       EXPECT_FALSE(fs::exists(mistyped));
       EXPECT_FALSE(sim_log_has(untouched.sim.log_path, "open"));
     }},
    {"the database lost mid-run: its record waits in the spool, and goes in at the next start",
     [](RecordsFault& b, const test_database& db, const std::string& at) {
       // SQLite: the file deleted; PostgreSQL: the server gone, then back.
       const bool sqlite = db.name == "SQLite";
       b.board(at + "/first", "first", {"--erase-ms", erase_outlasting_a_loss});
       std::vector<std::string> argv = b.flash_words(
           db, at + "/first", {"--serial-first", "1", "--spool", "spool", "--junit", "junit.xml"});
       argv.insert(argv.begin(), VEXLOR_FLASH_ALL_PATH);
       child_process station = start_process(argv, b.dir);
       wait_until(deadline_in(60), [&] { return sim_log_has(b.boards[0].sim.log_path, "erase"); });
       if (sqlite) {
         for (const char* end : {"", "-wal", "-shm"}) fs::remove(db.target + end);
       } else {
         postgres_halt(b.postgres.server);
       }
       const process_result lost = wait_process(station, 120);
       EXPECT_EQ(lost.exit_code, 1) << lost.out;
       EXPECT_TRUE(has_line(lines_of(lost.out), "ok      first (serial 1, record spooled)"))
           << lost.out;
       EXPECT_TRUE(has_line(lines_of(lost.out), "vexlor-flash-all: 1 record(s) wait in the spool "))
           << lost.out;
       EXPECT_EQ(xpath(b.dir + "/junit.xml", "string(//testcase[@name='first']/failure/@message)"),
                 "its record waits in the spool spool: the database could not take it");
       // By hand (PostgreSQL, once the server is back), else at the next start.
       std::string why;
       if (!sqlite) {
         ASSERT_TRUE(postgres_start_again(b.postgres.server, why)) << why;
         const process_result replay = run_station(b.dir, {"--db", db.target, "--replay", "spool"});
         EXPECT_EQ(replay.exit_code, 0) << replay.out;
         EXPECT_EQ(replay.out,
                   "vexlor-flash-all: 1 record(s) of the spool spool written to the "
                   "database\n");
       }
       // A pool started afresh in a new file hands out number 1 no more.
       b.board(at + "/next", "next");
       const process_result next = run_station(
           b.dir, b.flash_words(db, at + "/next", {"--serial-first", "1", "--spool", "spool"}));
       EXPECT_EQ(next.exit_code, 0) << next.out;
       EXPECT_TRUE(has_line(lines_of(next.out), "ok      next (serial 2)")) << next.out;
       EXPECT_EQ(b.history(db, {"--serial", "1"}).at(0)["port"], "first");
       EXPECT_TRUE(spooled_names(b.dir + "/spool").empty());
     }},
    {"a lock held past the bound; a stop during the wait is answered at once",
     [](RecordsFault& b, const test_database& db, const std::string& at) {
       const bool sqlite = db.name == "SQLite";
       b.board(at + "/first", "first");
       EXPECT_EQ(
           run_station(b.dir, b.flash_words(db, at + "/first", {"--serial-first", "1"})).exit_code,
           0);
       // Another program holds what a number needs: SQLite's write lock, the
       // pool's row.
       fs::remove(b.dir + "/held");
       const std::vector<std::string> hold =
           sqlite ? std::vector<std::string>{"/usr/bin/sqlite3", db.target, "BEGIN IMMEDIATE;",
                                             ".shell touch held; sleep 60"}
                  : std::vector<std::string>{b.postgres.server.bin + "/psql",
                                             db.target,
                                             "-c",
                                             "BEGIN",
                                             "-c",
                                             "SELECT * FROM serial_pools FOR UPDATE",
                                             "-c",
                                             "\\! touch held",
                                             "-c",
                                             "SELECT pg_sleep(60)"};
       child_process holder = start_process(hold, b.dir, {}, child_output::discarded);
       ASSERT_TRUE(wait_until(deadline_in(30), [&] { return fs::exists(b.dir + "/held"); }));
       b.board(at + "/held", "held");
       const std::vector<std::string> words = b.flash_words(db, at + "/held");
       const process_result bound = run_station(b.dir, words);
       EXPECT_EQ(bound.exit_code, sqlite ? 2 : 1) << bound.out;
       EXPECT_NE(bound.out.find(sqlite ? "another program held the database locked for 10 s"
                                       : "ERROR: canceling statement due to"),
                 std::string::npos)
           << bound.out;
       std::vector<std::string> argv = words;
       argv.insert(argv.begin(), VEXLOR_FLASH_ALL_PATH);
       child_process station = start_process(argv, b.dir);
       std::this_thread::sleep_for(std::chrono::seconds(2));  // into its wait
       const auto asked = test_clock::now();
       const process_result stopped = stop_process(station, 30);
       // Well inside the lock's bound of 10 s: the wait ended for the stop.
       EXPECT_LT(seconds_since(asked), 5) << stopped.out;
       EXPECT_EQ(stopped.exit_code, 128 + SIGTERM) << stopped.out;
       stop_process(holder);
       if (!sqlite) {  // its session, which outlives it while it sleeps
         run_process({b.postgres.server.bin + "/psql", db.target, "-c",
                      "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE query LIKE "
                      "'%pg_sleep%' AND pid <> pg_backend_pid()"},
                     b.dir, {}, 30);
       }
       const process_result after = run_station(b.dir, words);
       EXPECT_TRUE(has_line(lines_of(after.out), "ok      held (serial 2)")) << after.out;
     }},
    {"--watch: boards wait while the database cannot be reached, and its records go in when it "
     "can",
     [](RecordsFault& b, const test_database& db, const std::string& at) {
       const bool sqlite = db.name == "SQLite";
       b.board(at, "first", {"--erase-ms", erase_outlasting_a_loss});
       std::vector<std::string> argv =
           b.flash_words(db, at, {"--watch", "--serial-first", "1", "--spool", "spool"});
       argv.insert(argv.begin(), VEXLOR_FLASH_ALL_PATH);
       child_process station = start_process(argv, b.dir);
       EXPECT_EQ(read_line(station, 60), "start   first");
       wait_until(deadline_in(60), [&] { return sim_log_has(b.boards[0].sim.log_path, "erase"); });
       const auto lose = [&](bool lost) {
         std::string why;
         if (sqlite) {
           fs::rename(lost ? db.target : db.target + ".away",
                      lost ? db.target + ".away" : db.target);
         } else if (lost) {
           postgres_halt(b.postgres.server);
         } else {
           EXPECT_TRUE(postgres_start_again(b.postgres.server, why)) << why;
         }
       };
       lose(true);
       EXPECT_EQ(read_line(station, 60), "ok      first (serial 1, record spooled)");
       b.board(at, "second");
       std::this_thread::sleep_for(std::chrono::seconds(1));
       lose(false);
       EXPECT_EQ(read_line(station, 60), "start   second");
       EXPECT_EQ(read_line(station, 60), "ok      second (serial 2)");
       const process_result stopped = stop_process(station, 30);
       EXPECT_EQ(stopped.exit_code, 0) << stopped.out;
       EXPECT_EQ(stopped.out, "vexlor-flash-all: 2 of 2 run(s) ok\n");
       EXPECT_EQ(b.history(db, {"--serial", "1"}).at(0)["port"], "first");
     }},
    {"reading needs no write rights, and makes nothing",
     [](RecordsFault& b, const test_database& db, const std::string& at) {
       b.board(at, "read");
       EXPECT_EQ(run_station(b.dir, b.flash_words(db, at, {"--serial-first", "1"})).exit_code, 0);
       // SQLite on a mount that turned read-only, its write-ahead log closed;
       // PostgreSQL as a role that may only read.
       const bool sqlite = db.name == "SQLite";
       const small_disk disk(b.dir + "/read-only", 64);
       test_database reader = db, empty = db;
       const auto psql = [&](const std::string& target, const std::string& sql) {
         return run_process({b.postgres.server.bin + "/psql", target, "-Atc", sql}, b.dir, {}, 30)
             .out;
       };
       if (sqlite) {
         if (!disk.mounted) {
           std::cout << "SQLite left out: mounting a tmpfs needs root (CI runs as root)\n";
           return;
         }
         fs::copy_file(db.target, disk.folder + "/records.db");
         write_file(disk.folder + "/empty.db", {});
         ASSERT_TRUE(disk.make_read_only());
         reader.target = disk.folder + "/records.db";
         empty.target = disk.folder + "/empty.db";
       } else {
         psql(db.target,
              "CREATE ROLE reader LOGIN; GRANT SELECT ON ALL TABLES IN SCHEMA public "
              "TO reader");
         reader.target = std::regex_replace(db.target, std::regex("user=vexlor"), "user=reader");
         empty.target = postgres_database(b.postgres.server, "nothing_here");
       }
       const std::vector<nlohmann::json> runs = b.history(reader, {"--outcome", "ok"});
       ASSERT_EQ(runs.size(), 1u);
       EXPECT_EQ(runs[0]["port"], "read");
       const process_result summary = run_station(b.dir, {"--db", reader.target, "--summary"});
       EXPECT_EQ(summary.exit_code, 0) << summary.out;
       const process_result none = run_station(b.dir, {"--db", empty.target, "--history"});
       EXPECT_EQ(none.exit_code, 2) << none.out;
       EXPECT_TRUE(none.out.starts_with("vexlor-flash-all: no station records in " +
                                        (sqlite ? empty.target : "the PostgreSQL database")))
           << none.out;
       if (!sqlite) {
         EXPECT_EQ(psql(empty.target,
                        "SELECT COUNT(*) FROM information_schema.tables WHERE "
                        "table_schema = 'public'"),
                   "0\n");
       }
     }},
};

}  // namespace

TEST_P(RecordsFault, KeepsEveryNumberOnOneBoard) {
  if (running_under_wine()) GTEST_SKIP() << "the Windows build keeps no database";
  for (const test_database& db : test_databases(postgres, dir)) {
    SCOPED_TRACE(db.name);
    try {
      GetParam().reproduce(*this, db, dir + "/" + db.name);
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
    }
    expect_numbers_on_one_board();
  }
}

INSTANTIATE_TEST_SUITE_P(E2EStationRecords, RecordsFault, ::testing::ValuesIn(records_faults),
                         [](const ::testing::TestParamInfo<records_fault>& info) {
                           std::string name;
                           for (char c : info.param.what) {
                             if (std::isalnum(static_cast<unsigned char>(c))) name += c;
                             if (c == ' ' && !name.empty() && name.back() != '_') name += '_';
                           }
                           return name;
                         });
// --expect among the words: each board's own line on its result line, in
// its report record, its row (--history) and its JUnit case's system-out,
// and the line's firmware versions counted (--summary --by boot-line); a
// board whose application crashes fails at the check, its fault line the
// reason.
TEST_F(E2EStationRecords, ALineOfBoardsSaysWhatEachRuns) {
  if (running_under_wine()) GTEST_SKIP() << "the Windows build keeps no database";
  const std::string crash_reason =
      "no line with \"app v2.3\" within 3 s: the board's last 3 lines: \"hard fault at "
      "pc=0x08001d2c: restarting\" 3 times: not the firmware expected, or another rate (see "
      "--app-baud)?";
  for (const test_database& db : test_databases(postgres, dir)) {
    SCOPED_TRACE(db.name);
    const std::string at = dir + "/" + db.name;
    fs::create_directories(at + "/ports");
    // Their boot loaders time out into the application a second after the
    // flash: the station's runs share one environment, so no board sees
    // its lines.
    const auto board = [&](const std::string& name, std::vector<std::string> app) {
      fs::remove(dir + "/" + name + ".sim.log");  // from the other database's round
      app.insert(app.begin(), {"--app-after", "1000"});
      return add_board(name, app, false, at + "/ports");
    };
    std::vector<bench_board> boards{
        board("board-a", {"--app-banner", "app v2.3.1 build 884\\r\\n"}),
        board("board-b", {"--app-banner", "app v2.3.0 build 870\\r\\n"}),
        board("crashing", {"--app-crash"})};
    const process_result run =
        run_station(at, {"--ports-dir", "ports", "--db", db.target, "--db-create", "--report",
                         "report.jsonl", "--junit", "junit.xml", "--write", "--verify", "--expect",
                         "app v2.3", "--expect-within", "3", dir + "/image.bin"});
    EXPECT_EQ(run.exit_code, 1) << run.out;
    const std::vector<std::string> lines = lines_of(run.out);
    EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()),
              (std::set<std::string>{"ok      board-a: \"app v2.3.1 build 884\"",
                                     "ok      board-b: \"app v2.3.0 build 870\"",
                                     "FAILED  crashing (exit 1): " + crash_reason,
                                     "vexlor-flash-all: 2 of 3 port(s) ok"}))
        << run.out;
    for (bench_board& b : boards) finish_sim(b.sim);

    // The report's records and the database's rows alike.
    for (std::vector<nlohmann::json> records :
         {json_lines(read_text(at + "/report.jsonl")), history(db, {})}) {
      EXPECT_EQ(record_of(records, "board-a")["boot_line"], "app v2.3.1 build 884");
      EXPECT_EQ(record_of(records, "board-b")["boot_line"], "app v2.3.0 build 870");
      EXPECT_TRUE(record_of(records, "crashing")["boot_line"].is_null());
      EXPECT_EQ(record_of(records, "crashing")["phase"], "boot-check");
    }
    const process_result summary =
        run_station(dir, {"--db", db.target, "--summary", "--by", "boot-line"});
    const std::vector<std::string> counted = lines_of(summary.out);
    EXPECT_EQ(std::multiset<std::string>(counted.begin(), counted.end()),
              (std::multiset<std::string>{
                  "  runs  boards      ok  unchanged  failed  first-pass yield  boot line",
                  "     1       1       1          0       0         1/1 100.0%  app v2.3.1 "
                  "build 884",
                  "     1       1       1          0       0         1/1 100.0%  app v2.3.0 "
                  "build 870",
                  "     1       1       0          0       1         0/1   0.0%  -"}))
        << summary.out;

    const std::string junit = at + "/junit.xml";
    EXPECT_EQ(xpath(junit, "string(//testcase[@name='board-a']/system-out)"),
              "app v2.3.1 build 884\n");
  }
}
