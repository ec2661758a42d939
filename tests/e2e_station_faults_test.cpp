// The faults a station left running must come through, each reproduced end
// to end with the real vexlor-flash-all: a disk that fills up under the
// report, links standing where the JUnit file goes, port names that would
// forge the console, runs that will not stop or stop themselves, a station
// killed outright, more boards than file descriptors; and --watch's memory
// over thousands of runs. Most runs are stand-ins for vexlor-prog
// (VEXLOR_PROG), which misbehave on purpose; the station killed outright
// runs the real one against simulators.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include "support/e2e.h"
#include "support/json_lines.h"
#include "support/station_bench.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t bench_image_size = 3000;
constexpr uint32_t bench_image_address = 0x20000000;

// A bench of its own for each row: a ports folder, an image, a stand-in.
struct fault_bench {
  std::string dir = make_test_dir();
  std::string ports = dir + "/ports";
  std::string stand_in = dir + "/stand-in";

  fault_bench() {
    fs::create_directory(ports);
    write_file(dir + "/image.bin", pattern_bytes(bench_image_size, 24));
  }
  ~fault_bench() { fs::remove_all(dir); }

  // A port for a stand-in, which leaves its port alone: a link to nothing.
  void add_port(const std::string& name) const {
    fs::create_symlink(dir + "/no-device", ports + "/" + name);
  }

  // The station in `dir` with the stand-in as its programmer, standard
  // error among its output.
  process_result run(const std::vector<std::string>& args, double timeout_s = 60) const {
    return run_station(dir, args, {"VEXLOR_PROG=" + stand_in}, timeout_s);
  }

  child_process start(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1",
                                  VEXLOR_FLASH_ALL_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return start_process(argv, dir, {"VEXLOR_PROG=" + stand_in});
  }

  // Waits until a stand-in has begun (it writes `started`).
  bool run_begun() const {
    return wait_until(deadline_in(30), [&] { return fs::exists(dir + "/started"); });
  }
};

// A stand-in that does `first`, says where it is, notes that it has begun,
// then does `rest`. A trap goes in `first`: the stop may come the moment the
// run is seen to have begun, before its next line.
std::string begun_then(const std::string& rest, const std::string& first = "") {
  return first +
         R"(printf '%s\n' '{"event":"progress","phase":"write","done":1,"total":4}')"
         "\necho $$ >> started\n" +
         rest;
}

std::string ends_ok() { return std::string("printf '%s\\n' '") + stand_in_end_ok + "'"; }

bool every_line_is_json(const std::string& text) {
  try {
    json_lines(text);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool has_line_starting(const std::string& text, const std::string& start) {
  for (const std::string& line : lines_of(text)) {
    if (line.starts_with(start)) return true;
  }
  return false;
}

// Every escape sequence in a terminal's output is one of the live view's
// own: cursor up, erase to the end of the line, erase below.
bool only_own_escapes(const std::string& out) {
  for (std::size_t at = out.find('\x1b'); at != std::string::npos; at = out.find('\x1b', at + 1)) {
    if (out.compare(at, 2, "\x1b[") != 0) return false;
    std::size_t end = at + 2;
    while (end < out.size() && std::isdigit(static_cast<unsigned char>(out[end]))) ++end;
    if (end == out.size() || std::string("AKJ").find(out[end]) == std::string::npos) return false;
  }
  return out.find('\a') == std::string::npos;
}

long resident_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
  }
  return -1;
}

struct fault_row {
  std::string what;
  std::function<void(const fault_bench&)> reproduce;
};

void PrintTo(const fault_row& row, std::ostream* out) { *out << row.what; }

const std::vector<fault_row> fault_rows{
    {"a disk that fills up tears no record",
     [](const fault_bench& b) {
       // Two pages: the report fills the first but for 100 bytes, a filler
       // file takes the second, so that the next record goes in part.
       const small_disk disk(b.dir + "/disk", 2);
       if (!disk.mounted) {
         std::cout << "row left out: mounting a tmpfs needs root (CI runs as root)\n";
         return;
       }
       const std::string report = disk.folder + "/report.jsonl";
       std::string earlier;
       const std::size_t room_left = 100;
       while (earlier.size() + room_left < 4096 - room_left) {
         earlier += R"({"port":"from-yesterday","outcome":"ok"})"
                    "\n";
       }
       earlier += R"({"port":"last","outcome":"ok","pad":""})"
                  "\n";
       // The padding goes inside the last record's quotes.
       earlier.insert(earlier.size() - 3, std::string(4096 - room_left - earlier.size(), 'x'));
       write_file(report, {earlier.begin(), earlier.end()});
       write_file(disk.folder + "/filler", {1});
       write_stand_in(b.stand_in, ends_ok());
       b.add_port("first");
       const std::vector<std::string> args{"--ports-dir", b.ports,   "--report",
                                           report,        "--write", "image.bin"};
       const process_result full = b.run(args);
       EXPECT_EQ(full.exit_code, 1) << full.out;
       EXPECT_TRUE(has_line_starting(full.out,
                                     "vexlor-flash-all: the report line of first could "
                                     "not be written: only 100 of its"))
           << full.out;
       EXPECT_EQ(read_text(report), earlier);

       fs::remove(disk.folder + "/filler");
       fs::rename(b.ports + "/first", b.ports + "/second");
       const process_result room = b.run(args);
       EXPECT_EQ(room.exit_code, 0) << room.out;
       const std::string kept = read_text(report);
       EXPECT_TRUE(kept.starts_with(earlier));
       ASSERT_TRUE(every_line_is_json(kept)) << kept.substr(earlier.size());
       EXPECT_EQ(json_lines(kept).back()["port"], "second");
     }},
    {"an unfinished last line is mended before the next record",
     [](const fault_bench& b) {
       struct mend {
         std::string before;
         std::string says;
         std::string after;  // what the report begins with, the next record following
       };
       const std::string whole = R"({"port":"whole","outcome":"ok"})";
       const std::vector<mend> mends{
           {whole + "\n" + R"({"port":"cut sh)",
            "the report report.jsonl ended in 15 bytes of a record cut short", whole + "\n"},
           {whole, "the last record of the report report.jsonl had no line break", whole + "\n"},
       };
       write_stand_in(b.stand_in, ends_ok());
       b.add_port("next");
       for (const mend& m : mends) {
         SCOPED_TRACE(m.says);
         write_file(b.dir + "/report.jsonl", {m.before.begin(), m.before.end()});
         const process_result run =
             b.run({"--ports-dir", b.ports, "--report", "report.jsonl", "--write", "image.bin"});
         EXPECT_EQ(run.exit_code, 0) << run.out;
         EXPECT_TRUE(has_line_starting(run.out, "vexlor-flash-all: " + m.says)) << run.out;
         const std::string kept = read_text(b.dir + "/report.jsonl");
         EXPECT_TRUE(kept.starts_with(m.after + "{\"port\":\"next\"")) << kept;
         EXPECT_TRUE(every_line_is_json(kept)) << kept;
       }
     }},
    {"a report that is no report is appended to never",
     [](const fault_bench& b) {
       write_stand_in(b.stand_in, ends_ok());
       b.add_port("next");
       const std::string binary(
           "\x7f"
           "ELF\x02\x01\n\x00\x00{\xff",
           11);
       for (const std::string& before :
            {binary, std::string("{\"a\":1}\n"), std::string("{\"a\":1}\n{\"port\":\"cut")}) {
         SCOPED_TRACE(before);
         write_file(b.dir + "/report.jsonl", text_bytes(before));
         const process_result run =
             b.run({"--ports-dir", b.ports, "--report", "report.jsonl", "--write", "image.bin"});
         EXPECT_EQ(run.exit_code, 2) << run.out;
         EXPECT_TRUE(has_line_starting(run.out,
                                       "vexlor-flash-all: cannot open the report "
                                       "report.jsonl: it is no report of a station's"))
             << run.out;
         EXPECT_EQ(read_text(b.dir + "/report.jsonl"), before);
       }
     }},
    {"one file for two roles is refused, naming both",
     [](const fault_bench& b) {
       write_stand_in(b.stand_in, ends_ok());
       b.add_port("next");
       write_file(b.dir + "/report.jsonl", {});
       fs::create_symlink("report.jsonl", b.dir + "/link.db");
       struct clash {
         std::vector<std::string> options;
         std::string says;
       };
       const std::vector<clash> clashes{
           {{"--db", "report.jsonl", "--report", "report.jsonl"},
            "--db and --report name the same file (report.jsonl)"},
           {{"--db", "link.db", "--report", "report.jsonl"},
            "--db and --report name the same file (report.jsonl)"},
           {{"--db", "r.db", "--junit", "r.db-wal"},
            "--db's write-ahead log and --junit name the same file (r.db-wal)"},
           {{"--junit", "image.bin"}, "--junit and the image name the same file (image.bin)"},
           {{"--junit", b.stand_in}, "--junit and vexlor-prog name the same file"},
           {{"--db", "r.db", "--report", "report.jsonl", "--spool", "report.jsonl"},
            "--report and --spool name the same file (report.jsonl)"},
           {{"--log-dir", "logs", "--report", "logs/next.log"},
            "--report and the log of next name the same file (logs/next.log)"},
       };
       for (const clash& c : clashes) {
         SCOPED_TRACE(c.says);
         std::vector<std::string> args{"--ports-dir", b.ports};
         args.insert(args.end(), c.options.begin(), c.options.end());
         args.insert(args.end(), {"--write", "image.bin"});
         const process_result run = b.run(args);
         EXPECT_EQ(run.exit_code, 2) << run.out;
         EXPECT_TRUE(has_line_starting(run.out, "vexlor-flash-all: " + c.says)) << run.out;
       }
       EXPECT_EQ(read_text(b.dir + "/report.jsonl"), "");
       EXPECT_FALSE(fs::exists(b.dir + "/r.db"));
     }},
    {"links beside the JUnit path are left as they are",
     [](const fault_bench& b) {
       // The old name of the file in the making leads to a file of value;
       // the JUnit path itself is a link to where the CI system reads it.
       const std::string precious = "precious\n";
       write_file(b.dir + "/precious.txt", {precious.begin(), precious.end()});
       fs::create_symlink(b.dir + "/precious.txt", b.dir + "/junit.xml.partial");
       write_file(b.dir + "/ci.xml", {'o', 'l', 'd'});
       fs::create_symlink("ci.xml", b.dir + "/junit.xml");
       write_stand_in(b.stand_in, ends_ok());
       b.add_port("board");
       const process_result run =
           b.run({"--ports-dir", b.ports, "--junit", "junit.xml", "--write", "image.bin"});
       EXPECT_EQ(run.exit_code, 0) << run.out;
       EXPECT_EQ(read_text(b.dir + "/precious.txt"), precious);
       EXPECT_TRUE(fs::is_symlink(b.dir + "/junit.xml.partial"));
       EXPECT_TRUE(fs::is_symlink(b.dir + "/junit.xml"));
       EXPECT_EQ(xpath(b.dir + "/ci.xml", "string(/testsuite/@tests)"), "1");
       EXPECT_EQ(file_names_in(b.dir),
                 (std::set<std::string>{"ports", "image.bin", "stand-in", "precious.txt",
                                        "junit.xml.partial", "ci.xml", "junit.xml"}));
       // A FIFO is written to as it is, never replaced.
       ASSERT_EQ(mkfifo((b.dir + "/fifo.xml").c_str(), 0600), 0);
       child_process reader = start_process({"/bin/cat", b.dir + "/fifo.xml"});
       const process_result to_fifo =
           b.run({"--ports-dir", b.ports, "--junit", "fifo.xml", "--write", "image.bin"});
       EXPECT_EQ(to_fifo.exit_code, 0) << to_fifo.out;
       const process_result read = wait_process(reader, 10);
       EXPECT_TRUE(read.out.find("<testsuite") != std::string::npos) << read.out;
       EXPECT_TRUE(fs::is_fifo(b.dir + "/fifo.xml"));
     }},
    {"log names never collide",
     [](const fault_bench& b) {
       write_stand_in(b.stand_in, R"(printf '{"event":"phase","phase":"handshake","ok":true,)"
                                  R"("port":"%s"}\n' "$2")"
                                  "\n" +
                                      ends_ok());
       for (const char* name : {"a b", "a_b", "a:b"}) b.add_port(name);
       const process_result run = b.run({"--ports-dir", b.ports, "--report", "report.jsonl",
                                         "--log-dir", "logs", "--write", "image.bin"});
       EXPECT_EQ(run.exit_code, 0) << run.out;
       const std::vector<nlohmann::json> records = json_lines(read_text(b.dir + "/report.jsonl"));
       std::set<std::string> logs;
       for (const char* name : {"a b", "a_b", "a:b"}) {
         SCOPED_TRACE(name);
         const nlohmann::json record = record_of(records, name);
         ASSERT_TRUE(record.is_object());
         const std::string log = record["log"];
         logs.insert(log);
         const std::string events = read_text(b.dir + "/" + log);
         EXPECT_NE(events.find(b.ports + "/" + name), std::string::npos) << events;
         EXPECT_EQ(json_lines(events).size(), 2u) << events;
       }
       EXPECT_EQ(logs.size(), 3u);
       EXPECT_TRUE(logs.count("logs/a_b.log"));  // a name kept as it is keeps its log's name
     }},
    {"hostile port names forge nothing on the console",
     [](const fault_bench& b) {
       // Clears the screen and writes the clipboard; a line break forges a
       // result.
       const std::string clearing = "clear\x1b[2J\x1b]52;c;aGk=\a";
       const std::string forging = "nl\nok      forged";
       b.add_port(clearing);
       b.add_port(forging);
       // The real vexlor-prog: each port leads nowhere, and its run says so.
       const process_result lines =
           run_station(b.dir, {"--ports-dir", b.ports, "--write", "image.bin"});
       EXPECT_EQ(lines.exit_code, 1) << lines.out;
       EXPECT_EQ(lines.out.find_first_of("\x1b\a"), std::string::npos) << lines.out;
       EXPECT_FALSE(has_line_starting(lines.out, "ok      forged")) << lines.out;
       EXPECT_TRUE(
           has_line_starting(lines.out, "FAILED  clear\\x1b[2J\\x1b]52;c;aGk=\\x07 (exit 1)"))
           << lines.out;
       EXPECT_TRUE(has_line_starting(lines.out, "FAILED  nl\\x0aok      forged (exit 1)"))
           << lines.out;
       // The live view on a terminal, with a phase of the run's own making
       // (passed over); and the messages on standard error.
       write_stand_in(b.stand_in,
                      R"(printf '%s\n' '{"event":"progress","phase":"\u001b[2Jwrite","done":1,)"
                      R"("total":2}'; sleep 1.5)"
                      "\n" +
                          ends_ok());
       const std::string command =
           std::string(VEXLOR_FLASH_ALL_PATH) + " --ports-dir " + b.ports + " --write image.bin";
       const process_result live = run_process({"/usr/bin/script", "-qec", command, "/dev/null"},
                                               b.dir, {"VEXLOR_PROG=" + b.stand_in}, 60);
       EXPECT_EQ(live.exit_code, 0) << live.out;
       EXPECT_TRUE(only_own_escapes(live.out)) << live.out;
       // A phase the contract does not name is no event: it never reaches the screen.
       EXPECT_EQ(live.out.find("2Jwrite"), std::string::npos) << live.out;
       const process_result twice =
           b.run({"--port", clearing, "--port", clearing, "--write", "image.bin"});
       EXPECT_EQ(twice.exit_code, 2);
       EXPECT_EQ(twice.out.find_first_of("\x1b\a"), std::string::npos) << twice.out;
     }},
    {"a run that ignores SIGTERM is killed after its time",
     [](const fault_bench& b) {
       write_stand_in(b.stand_in, begun_then("while :; do sleep 1; done", "trap '' TERM\n"));
       b.add_port("deaf");
       child_process station =
           b.start({"--ports-dir", b.ports, "--report", "report.jsonl", "--write", "image.bin"});
       ASSERT_TRUE(b.run_begun());
       const process_result stopped = stop_process(station, 60);
       EXPECT_EQ(stopped.exit_code, 128 + SIGTERM) << stopped.out;
       EXPECT_TRUE(has_line_starting(stopped.out,
                                     "STOPPED deaf (exit 137): killed: it did not end "
                                     "within 10 s of the stop request, during the write"))
           << stopped.out;
       const std::vector<nlohmann::json> records = json_lines(read_text(b.dir + "/report.jsonl"));
       ASSERT_EQ(records.size(), 1u);
       EXPECT_EQ(records[0]["outcome"], "stopped");
     }},
    {"a run that stops itself holds up no stop",
     [](const fault_bench& b) {
       write_stand_in(b.stand_in, begun_then("kill -STOP $$\nsleep 30\n" + ends_ok()));
       b.add_port("frozen");
       child_process station = b.start({"--ports-dir", b.ports, "--write", "image.bin"});
       ASSERT_TRUE(b.run_begun());
       const process_result stopped = stop_process(station, 60);
       EXPECT_EQ(stopped.exit_code, 128 + SIGTERM) << stopped.out;
       EXPECT_TRUE(
           has_line_starting(stopped.out, "STOPPED frozen (exit 143): stopped by signal 15"))
           << stopped.out;
     }},
    {"SIGQUIT stops the station as SIGTERM does",
     [](const fault_bench& b) {
       write_stand_in(b.stand_in, begun_then("while :; do sleep 0.1; done",
                                             "trap 'echo got TERM; exit 143' TERM\n"));
       b.add_port("quitting");
       child_process station = b.start({"--ports-dir", b.ports, "--write", "image.bin"});
       ASSERT_TRUE(b.run_begun());
       kill(station.pid, SIGQUIT);
       const process_result stopped = wait_process(station, 60);
       EXPECT_EQ(stopped.exit_code, 128 + SIGQUIT) << stopped.out;
       EXPECT_TRUE(
           has_line_starting(stopped.out, "STOPPED quitting (exit 143): stopped by signal 15"))
           << stopped.out;
       EXPECT_NE(stopped.out.find("got TERM"), std::string::npos) << stopped.out;
       EXPECT_TRUE(has_line_starting(stopped.out, "vexlor-flash-all: 0 of 1 port(s) ok"))
           << stopped.out;
     }},
    {"runs end with a station killed outright",
     [](const fault_bench& b) {
       // The real vexlor-prog, paced, with an image that takes half a
       // minute to write: killed early, its runs must not carry on.
       const std::size_t large = 64 * 1024;
       write_file(b.dir + "/large.bin", pattern_bytes(large, 5));
       std::vector<bench_board> boards;
       for (const char* name : {"left-1", "left-2"}) {
         boards.push_back(start_bench_board(b.dir, name, b.ports + "/" + name, bench_image_address,
                                            large, {"--baud", "19200"}, false));
       }
       child_process station =
           start_process({VEXLOR_FLASH_ALL_PATH, "--ports-dir", b.ports, "--write", "--verify",
                          "large.bin", "--baudrate", "19200"},
                         b.dir);
       const auto give_up = deadline_in(30);
       for (const bench_board& board : boards) {
         wait_until(give_up, [&] { return read_sim_log(board.sim.log_path).size() >= 3; });
       }
       kill(station.pid, SIGKILL);
       wait_process(station, 10);
       for (bench_board& board : boards) {
         SCOPED_TRACE(board.name);
         wait_process(board.sim.process, 60);
         const std::vector<sim_event> log = read_sim_log(board.sim.log_path);
         EXPECT_LT(bytes_received(log).size(), large / 2);
         EXPECT_TRUE(std::any_of(log.begin(), log.end(),
                                 [](const sim_event& e) { return e.kind == "close"; }));
       }
     }},
    {"60 boards with file descriptors for 48",
     [](const fault_bench& b) {
       write_stand_in(b.stand_in, "sleep 0.2\n" + ends_ok());
       for (int i = 0; i < 60; ++i) b.add_port("board-" + std::to_string(i));
       const process_result run =
           run_process({"/usr/bin/prlimit", "--nofile=48", "--", "/bin/sh", "-c",
                        "exec \"$0\" \"$@\" 2>&1", VEXLOR_FLASH_ALL_PATH, "--ports-dir", b.ports,
                        "--report", "report.jsonl", "--log-dir", "logs", "--write", "image.bin"},
                       b.dir, {"VEXLOR_PROG=" + b.stand_in}, 120);
       EXPECT_EQ(run.exit_code, 0) << run.out;
       EXPECT_TRUE(has_line_starting(run.out, "vexlor-flash-all: 60 of 60 port(s) ok")) << run.out;
       EXPECT_EQ(json_lines(read_text(b.dir + "/report.jsonl")).size(), 60u);
     }},
};

}  // namespace

// A test each, so that ctest runs them side by side: one waits out a stop's
// grace of 10 s.
struct EachFault : ::testing::TestWithParam<fault_row> {};

TEST_P(EachFault, IsMetSoundly) {
  if (running_under_wine()) GTEST_SKIP() << "signals, links, mounts and limits of Linux";
  const fault_bench bench;
  try {
    GetParam().reproduce(bench);
  } catch (const std::exception& e) {
    ADD_FAILURE() << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(E2EStationFaults, EachFault, ::testing::ValuesIn(fault_rows),
                         [](const ::testing::TestParamInfo<fault_row>& info) {
                           // The row's words, as a test name may spell them.
                           std::string name;
                           for (char c : info.param.what) {
                             if (std::isalnum(static_cast<unsigned char>(c))) name += c;
                             if (c == ' ' && !name.empty() && name.back() != '_') name += '_';
                           }
                           return name;
                         });

// --watch for a week: thousands of runs, and the station's memory no larger
// after the last than after the first few hundred. Many ports a round and
// few rounds: a round costs the station's wakes (ten a second at most), a
// port little. AddressSanitizer keeps freed memory aside to catch its use,
// so that the resident size says nothing there: fewer runs, for its own
// checks.
#if VEXLOR_PROGRAMS_SANITIZED
constexpr bool resident_size_tells = false;
constexpr int watch_rounds = 10;
#else
constexpr bool resident_size_tells = true;
constexpr int watch_rounds = 24;
#endif

TEST(E2EStationFaults, WatchKeepsItsMemoryFlat) {
  if (running_under_wine()) GTEST_SKIP() << "--watch is Linux's";
  constexpr int ports = 100;
  constexpr int rounds = watch_rounds;
  const fault_bench b;
  write_stand_in(b.stand_in, ends_ok());
  for (int i = 0; i < ports; ++i) b.add_port("board-" + std::to_string(i));
  child_process station =
      b.start({"--watch", "--ports-dir", b.ports, "--junit", "junit.xml", "--write", "image.bin"});
  long early_kib = 0;
  for (int round = 0; round < rounds; ++round) {
    for (int ended = 0; ended < ports;) {
      const std::string line = read_line(station, 60);
      ASSERT_TRUE(line.starts_with("start   ") || line.starts_with("ok      "))
          << "round " << round << ": " << line;
      if (line.starts_with("ok      ")) ++ended;
    }
    if (round == rounds / 4) early_kib = resident_kib(station.pid);
    if (round == rounds - 1) break;
    // Each port unplugged and plugged in again: flashed again.
    for (int i = 0; i < ports; ++i) {
      const std::string port = b.ports + "/board-" + std::to_string(i);
      fs::remove(port);
      fs::create_symlink(b.dir + "/no-device", port);
    }
  }
  const long late_kib = resident_kib(station.pid);
  const process_result stopped = stop_process(station, 60);
  EXPECT_EQ(stopped.exit_code, 0) << stopped.out;
  const std::string total = std::to_string(ports * rounds);
  EXPECT_EQ(stopped.out, "vexlor-flash-all: " + total + " of " + total + " run(s) ok\n");
  EXPECT_EQ(xpath(b.dir + "/junit.xml", "string(/testsuite/@tests)"), total);
  if (resident_size_tells) {
    EXPECT_LT(late_kib - early_kib, 1024) << early_kib << " KiB, then " << late_kib << " KiB";
  }
}
