// The station's record store on real databases: SQLite files in a test
// folder, and a PostgreSQL server of the test's own. Records must come back
// as they went in, and no serial number may ever reach two boards: not from
// two processes drawing at once, not after one is killed mid-run.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>

#include "runs/board_run.h"
#include "records/record_database.h"
#include "records/record_store.h"
#include "records/serial_format.h"
#include "support/test_databases.h"
#include "support/test_files.h"

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

namespace {

store_handle open_store(const std::string& target) {
  store_handle store;
  std::string why;
  EXPECT_TRUE(store_open(target, store, why)) << why;
  return store;
}

const auto day_start = std::chrono::sys_days{std::chrono::year{2026} / 12 / 7};

// A board's run as the station ends it.
board_run sample_board_run(const std::string& port, run_outcome outcome, int minute,
                           const std::string& sha256) {
  board_run run;
  run.port = {.name = port, .path = "/dev/serial/by-id/" + port, .device = "/dev/ttyUSB0"};
  if (port == "usb-A") {
    run.port.identity = usb_identity{.vendor_id = "0403",
                                     .product_id = "6001",
                                     .serial = "A10K2Q",
                                     .manufacturer = "FTDI",
                                     .usb_path = "1-1.1:1.0"};
  }
  run.end = end_line{.image = "firmware.bin",
                     .size = 65536,
                     .sha256 = sha256,
                     .address = 536870912,
                     .baud = 115200,
                     .version = "1.0.0"};
  run.start = day_start + std::chrono::minutes(minute);
  run.end_time = run.start + std::chrono::milliseconds(375);
  run.seconds = 0.375;
  run.exit_status = outcome == run_outcome::failed ? 1 : 0;
  run.verdict.outcome = outcome;
  if (outcome_is_success(outcome)) run.boot_line = "app v2.3.1 build 884";
  if (outcome == run_outcome::failed) {
    run.verdict.phase = "erase";
    run.verdict.reason = "the target refused the erase command of sector 0 (answered 0x1f)";
  }
  return run;
}

// The run as the station records it, with the board's id.
run_record sample_run(const std::string& port, run_outcome outcome, int minute,
                      const std::string& sha256 = "3f0c",
                      const std::optional<std::string>& board_id = std::nullopt) {
  run_record record = record_of_run(sample_board_run(port, outcome, minute, sha256), "line3-pc");
  record.board_id = board_id;
  return record;
}

void add_run(record_store& store, const run_record& record) {
  std::string why;
  EXPECT_TRUE(store_add_run(store, record, why)) << why;
}

std::vector<json> history(record_store& store, const history_filter& filter) {
  std::vector<json> lines;
  std::string why;
  EXPECT_TRUE(store_history(
      store, filter, [&](const std::string& line) { lines.push_back(json::parse(line)); }, why))
      << why;
  return lines;
}

uint64_t take(record_store& store, const std::string& pool, uint64_t first,
              const std::optional<std::string>& board_id = std::nullopt, bool* kept = nullptr) {
  serial_taken taken;
  std::string why;
  EXPECT_TRUE(serial_take(store, pool, first, board_id, "line3-pc", taken, why)) << why;
  if (kept) *kept = taken.kept;
  return taken.number;
}

// Another process on the same database: takes `count` numbers of `pool`,
// each written to `out` as a line as soon as it is taken; each then spent in
// a run's record, or, with `hang`, never settled (the process waits to be
// killed).
pid_t draw_in_child(const std::string& target, const std::string& pool, int count, bool hang,
                    int out) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  store_handle store;
  std::string why;
  if (!store_open(target, store, why)) _exit(2);
  for (int i = 0; i < count; ++i) {
    serial_taken taken;
    if (!serial_take(*store, pool, 1, std::nullopt, "child", taken, why)) _exit(3);
    const std::string line = std::to_string(taken.number) + "\n";
    if (write(out, line.data(), line.size()) != static_cast<ssize_t>(line.size())) _exit(4);
    if (hang) pause();
    run_record record = sample_run("usb-A", run_outcome::ok, i);
    record.serial = serial_use{pool, taken.number, serial_settlement::spent};
    if (!store_add_run(*store, record, why)) _exit(5);
  }
  _exit(0);
}

// The numbers a child wrote, one a line, until it closed its end.
std::vector<uint64_t> numbers_from(FILE* in) {
  std::vector<uint64_t> numbers;
  unsigned long long number = 0;
  while (std::fscanf(in, "%llu", &number) == 1) numbers.push_back(number);
  return numbers;
}

int exit_status_of(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Each case runs on an SQLite file and on a PostgreSQL database, each fresh.
class RecordStore : public ::testing::Test {
 protected:
  static inline test_postgres postgres;
  static void SetUpTestSuite() { test_postgres_start(postgres); }
  static void TearDownTestSuite() { test_postgres_stop(postgres); }

  std::string dir = make_test_dir();
  void TearDown() override { fs::remove_all(dir); }

  std::vector<test_database> databases() { return test_databases(postgres, dir); }
};

}  // namespace

TEST_F(RecordStore, RunsComeBackAsHistory) {
  for (const test_database& db : databases()) {
    SCOPED_TRACE(db.name);
    store_handle store = open_store(db.target);
    ASSERT_TRUE(store);
    const uint64_t number = take(*store, "line3", 1000);
    run_record first = sample_run("usb-A", run_outcome::ok, 0, "3f0c", "0a1b2c");
    first.serial = serial_use{"line3", number, serial_settlement::spent};
    add_run(*store, first);
    add_run(*store, sample_run("usb-B", run_outcome::failed, 60));
    add_run(*store, sample_run("usb-A", run_outcome::unchanged, 90, "3f0c", "0a1b2d"));

    // The first run as --history gives it: the report's line, then the
    // board's id and number.
    const std::vector<json> all = history(*store, {});
    ASSERT_EQ(all.size(), 3u);
    json line = all[0];
    EXPECT_EQ(line["board_id"], "0a1b2c");
    EXPECT_EQ(line["serial_number"], 1000);
    EXPECT_EQ(line["serial_pool"], "line3");
    EXPECT_EQ(line["serial_state"], "spent");
    for (const char* key : {"board_id", "serial_number", "serial_pool", "serial_state"}) {
      line.erase(key);
    }
    const std::string report =
        report_line(sample_board_run("usb-A", run_outcome::ok, 0, "3f0c"), "line3-pc");
    EXPECT_EQ(line.dump(), json::parse(report).dump());
    EXPECT_EQ(all[0]["boot_line"], "app v2.3.1 build 884");
    EXPECT_EQ(all[1]["boot_line"], nullptr);
    EXPECT_EQ(all[1]["identity"], nullptr);
    EXPECT_EQ(all[1]["reason"], "the target refused the erase command of sector 0 (answered 0x1f)");

    struct filter_case {
      const char* what;
      history_filter filter;
      std::vector<std::string> starts;  // of the runs it gives, in order
    };
    const std::string at0 = "2026-12-07T00:00:00.000Z", at60 = "2026-12-07T01:00:00.000Z",
                      at90 = "2026-12-07T01:30:00.000Z";
    const filter_case cases[] = {
        {"every run, oldest first", {}, {at0, at60, at90}},
        {"one board", {.board_id = "0a1b2c"}, {at0}},
        {"one board, typed in capitals", {.board_id = "0A1B2C"}, {at0}},
        {"one serial number", {.serial_number = 1000}, {at0}},
        {"a number beyond any pool", {.serial_number = std::numeric_limits<uint64_t>::max()}, {}},
        {"one port", {.port = "usb-A"}, {at0, at90}},
        {"since a time", {.since = "2026-12-07T00:30"}, {at60, at90}},
        {"since a day", {.since = "2026-12-07"}, {at0, at60, at90}},
        {"every filter at once", {.board_id = "0a1b2d", .port = "usb-A", .since = at60}, {at90}},
        {"filters that exclude each other", {.board_id = "0a1b2c", .port = "usb-B"}, {}},
    };
    for (const filter_case& row : cases) {
      SCOPED_TRACE(row.what);
      std::vector<std::string> starts;
      for (const json& run : history(*store, row.filter)) starts.push_back(run["start"]);
      EXPECT_EQ(starts, row.starts);
    }
  }
}

TEST_F(RecordStore, SummaryCountsBoardsByTheirLastAndFirstRuns) {
  for (const test_database& db : databases()) {
    SCOPED_TRACE(db.name);
    store_handle store = open_store(db.target);
    ASSERT_TRUE(store);
    const std::string image = std::string(64, 'a'), other = std::string(64, 'b');
    add_run(*store, sample_run("usb-A", run_outcome::ok, 0, image, "b0"));  // before --since
    add_run(*store, sample_run("usb-A", run_outcome::failed, 10, image, "b1"));
    add_run(*store, sample_run("usb-A", run_outcome::ok, 11, image, "b1"));
    add_run(*store, sample_run("usb-B", run_outcome::ok, 12, image, "b2"));
    add_run(*store, sample_run("usb-A", run_outcome::unchanged, 13, image, "b3"));
    add_run(*store, sample_run("usb-B", run_outcome::failed, 14, image, "b4"));
    add_run(*store, sample_run("usb-B", run_outcome::stopped, 15, image, "b4"));
    add_run(*store, sample_run("usb-A", run_outcome::ok, 16, image));  // no id: a board of its own
    run_record newer = sample_run("usb-A", run_outcome::ok, 17, other, "b1");
    newer.boot_line = "app v2.4.0 build 901";
    add_run(*store, newer);

    std::vector<image_summary> images;
    std::string why;
    ASSERT_TRUE(store_summary(*store, "2026-12-07T00:05", images, why)) << why;
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(images[0].sha256, image);
    EXPECT_EQ(images[0].runs, 7);
    EXPECT_EQ(images[0].boards, 5);      // b1, b2, b3, b4 and the one without an id
    EXPECT_EQ(images[0].ok, 3);          // b1 at last, b2, the one without an id
    EXPECT_EQ(images[0].unchanged, 1);   // b3
    EXPECT_EQ(images[0].failed, 1);      // b4, stopped at last
    EXPECT_EQ(images[0].first_pass, 3);  // b2, b3, the one without an id
    EXPECT_EQ(summary_table(images),
              "  runs  boards      ok  unchanged  failed  first-pass yield  image\n"
              "     7       5       3          1       1         3/5  60.0%  " +
                  image +
                  "\n"
                  "     1       1       1          0       0         1/1 100.0%  " +
                  other + "\n");
    ASSERT_TRUE(store_summary(*store, "", images, why)) << why;
    EXPECT_EQ(images.at(0).boards, 6);
    // Per boot line: the runs that reported none (failed here) first.
    ASSERT_TRUE(store_summary(*store, "2026-12-07T00:05", images, why, summary_by::boot_line))
        << why;
    EXPECT_EQ(
        summary_table(images, summary_by::boot_line),
        "  runs  boards      ok  unchanged  failed  first-pass yield  boot line\n"
        "     3       2       0          0       2         0/2   0.0%  -\n"
        "     4       4       3          1       0         4/4 100.0%  app v2.3.1 build 884\n"
        "     1       1       1          0       0         1/1 100.0%  app v2.4.0 build 901\n");
  }
}

TEST_F(RecordStore, SerialPoolsHandEachNumberToOneBoard) {
  enum class action { take, take_for_board, give_back, spend, record_spent, record_kept };
  struct step {
    const char* what;
    action act;
    std::string pool;
    uint64_t number;  // what a take must give; the number the others settle
    std::string board_id;
    bool ok = true;
  };
  const step steps[] = {
      {"a new pool starts at its first number", action::take, "line3", 500},
      {"then counts up", action::take, "line3", 501},
      {"another pool counts on its own", action::take, "spare", 7},
      {"a number given back", action::give_back, "line3", 500},
      {"is the next one handed out", action::take, "line3", 500},
      {"a run's record spends its number", action::record_spent, "line3", 501, "b7"},
      {"a board that spent one keeps it", action::take_for_board, "line3", 501, "b7"},
      {"its record says so", action::record_kept, "line3", 501, "b7"},
      {"a board without one gets the next", action::take_for_board, "line3", 502, "b8"},
      {"which is spent once", action::spend, "line3", 502},
      {"and not twice", action::spend, "line3", 502, "", false},
      {"nor given back once spent", action::give_back, "line3", 502, "", false},
      {"a number never handed out is not spent", action::spend, "line3", 999, "", false},
      {"nor recorded", action::record_spent, "line3", 999, "b9", false},
      {"nor given back", action::give_back, "nowhere", 1, "", false},
      {"a failed record leaves the number as it was", action::take, "line3", 503},
  };
  for (const test_database& db : databases()) {
    SCOPED_TRACE(db.name);
    store_handle store = open_store(db.target);
    ASSERT_TRUE(store);
    for (const step& row : steps) {
      SCOPED_TRACE(row.what);
      std::string why;
      const std::optional<std::string> board =
          row.board_id.empty() ? std::nullopt : std::optional(row.board_id);
      bool kept = false;
      run_record record = sample_run("usb-A", run_outcome::ok, 0, "3f0c", board);
      switch (row.act) {
        case action::take:
        case action::take_for_board:
          EXPECT_EQ(take(*store, row.pool, row.pool == "spare" ? 7 : 500, board, &kept),
                    row.number);
          EXPECT_EQ(kept, row.act == action::take_for_board && row.number == 501);
          break;
        case action::give_back:
        case action::spend:
          EXPECT_EQ(serial_settle(*store, row.pool, row.number,
                                  row.act == action::spend ? serial_settlement::spent
                                                           : serial_settlement::returned,
                                  board, why),
                    row.ok)
              << why;
          EXPECT_EQ(why.empty(), row.ok) << why;
          break;
        case action::record_spent:
        case action::record_kept:
          record.serial = serial_use{
              row.pool, row.number,
              row.act == action::record_kept ? serial_settlement::kept : serial_settlement::spent};
          EXPECT_EQ(store_add_run(*store, record, why), row.ok) << why;
          break;
      }
    }
    // Only the runs whose numbers settled were kept.
    std::vector<std::string> states;
    for (const json& run : history(*store, {.board_id = "b7"}))
      states.push_back(run["serial_state"]);
    EXPECT_EQ(states, (std::vector<std::string>{"spent", "kept"}));
    EXPECT_TRUE(history(*store, {.board_id = "b9"}).empty());
  }
}

TEST_F(RecordStore, NoNumberTwiceAcrossProcessesOrAfterAKill) {
  constexpr int per_process = 25;
  for (const test_database& db : databases()) {
    SCOPED_TRACE(db.name);
    // Made first, so that both children find the tables there.
    ASSERT_TRUE(open_store(db.target));

    // Two stations at once on one pool: every number once, none skipped.
    int pipes[2][2];
    pid_t children[2];
    for (int i = 0; i < 2; ++i) {
      ASSERT_EQ(pipe(pipes[i]), 0);
      children[i] = draw_in_child(db.target, "line3", per_process, false, pipes[i][1]);
      close(pipes[i][1]);
    }
    std::vector<uint64_t> all;
    for (int i = 0; i < 2; ++i) {
      FILE* in = fdopen(pipes[i][0], "r");
      const std::vector<uint64_t> numbers = numbers_from(in);
      std::fclose(in);
      EXPECT_EQ(exit_status_of(children[i]), 0);
      EXPECT_EQ(numbers.size(), static_cast<std::size_t>(per_process));
      all.insert(all.end(), numbers.begin(), numbers.end());
    }
    std::sort(all.begin(), all.end());
    std::vector<uint64_t> expected(2 * per_process);
    for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = i + 1;
    EXPECT_EQ(all, expected);

    // A station killed between taking a number and settling it; then the
    // station again: the number it took is never handed out.
    int killed_pipe[2];
    ASSERT_EQ(pipe(killed_pipe), 0);
    const pid_t killed = draw_in_child(db.target, "line3", 1, true, killed_pipe[1]);
    close(killed_pipe[1]);
    FILE* in = fdopen(killed_pipe[0], "r");
    unsigned long long lost = 0;
    const bool got = std::fscanf(in, "%llu", &lost) == 1;
    kill(killed, SIGKILL);
    std::fclose(in);
    EXPECT_EQ(exit_status_of(killed), 128 + SIGKILL);
    ASSERT_TRUE(got);
    EXPECT_EQ(lost, 2u * per_process + 1);
    store_handle again = open_store(db.target);
    ASSERT_TRUE(again);
    for (int i = 0; i < 3; ++i) EXPECT_NE(take(*again, "line3", 1), lost);
    // It stays taken, for a person to look at: the board may hold it.
    std::vector<std::optional<std::string>> states;
    std::string why;
    EXPECT_TRUE(sql_run(
        *again, "SELECT state FROM serial_numbers WHERE pool = 'line3' AND number = $1",
        {static_cast<int64_t>(lost)}, [&](const sql_row& row) { states.push_back(row.at(0)); },
        why))
        << why;
    EXPECT_EQ(states, (std::vector<std::optional<std::string>>{"taken"}));
  }
}

TEST(RecordStoreOpen, RefusesWhatItCannotKeep) {
  const std::string dir = make_test_dir();
  // A database written by a later station.
  const std::string later = dir + "/later.db";
  {
    store_handle store = open_store(later);
    ASSERT_TRUE(store);
    std::string why;
    ASSERT_TRUE(sql_run(*store, "UPDATE store_schema SET version = $1", {store_schema_version + 1},
                        {}, why))
        << why;
  }
  struct open_case {
    const char* what;
    std::string target;
    std::string why;  // a part of the reason
  };
  const open_case cases[] = {
      {"a later schema", later,
       "holds records of version " + std::to_string(store_schema_version + 1) +
           ", and this vexlor-flash-all knows version " + std::to_string(store_schema_version)},
      {"a folder that is not there", dir + "/none/records.db", "unable to open database file"},
      {"a folder", dir, "unable to open database file"},
      {"another kind of database", "mysql://host/records", "not a database this station knows"},
      {"nothing", "", "no database named"},
      {"a PostgreSQL server that is not there", "postgresql:///records?host=" + dir,
       "cannot open the PostgreSQL database: connection to server on socket"},
  };
  for (const open_case& row : cases) {
    SCOPED_TRACE(row.what);
    store_handle store;
    std::string why;
    EXPECT_FALSE(store_open(row.target, store, why));
    EXPECT_NE(why.find(row.why), std::string::npos) << why;
    EXPECT_EQ(why.find('\n'), std::string::npos) << why;
  }
  fs::remove_all(dir);
}

TEST(SerialFormat, NumbersBecomeTheBytesOfTheirFormat) {
  struct format_case {
    std::string format;
    uint64_t number;
    std::string bytes;  // as hex; empty with `why`
    std::string why;    // a part of the reason it is refused
  };
  const format_case cases[] = {
      {"u32le", 0x01020304, "04030201"},
      {"u32be", 0x01020304, "01020304"},
      {"u32le", 0xFFFFFFFF, "ffffffff"},
      {"u32be", 0x100000000, "", "does not fit the 32 bits of u32be"},
      {"u64le", 0x0102030405060708, "0807060504030201"},
      {"u64be", std::numeric_limits<uint64_t>::max(), "ffffffffffffffff"},
      {"dec:6", 42, "303030303432"},
      {"dec:3", 999, "393939"},
      {"dec:1", 0, "30"},
      {"dec:3", 1000, "", "serial number 1000 has more than the 3 digits of dec:3"},
      {"dec:0", 1, "", "dec:W needs W from 1 to 256"},
      {"dec:257", 1, "", "dec:W needs W from 1 to 256"},
      {"dec:", 1, "", "dec:W needs W"},
      {"dec:-3", 1, "", "dec:W needs W"},
      {"dec:3x", 1, "", "dec:W needs W"},
      {"U32LE", 1, "", "one of u32le, u32be, u64le, u64be, dec:W"},
      {"u16le", 1, "", "one of u32le"},
  };
  for (const format_case& row : cases) {
    SCOPED_TRACE(row.format + " " + std::to_string(row.number));
    serial_format format;
    std::vector<uint8_t> bytes;
    std::string why;
    const bool ok = parse_serial_format(row.format, format, why) &&
                    serial_bytes(format, row.number, bytes, why);
    EXPECT_EQ(ok, row.why.empty()) << why;
    std::string hex;
    for (const uint8_t byte : bytes) {
      char text[3];
      std::snprintf(text, sizeof text, "%02x", byte);
      hex += text;
    }
    if (ok) {
      EXPECT_EQ(hex, row.bytes);
    }
    EXPECT_NE(why.find(row.why), std::string::npos) << why;
  }
  serial_format wide;
  std::string why;
  ASSERT_TRUE(parse_serial_format("dec:256", wide, why));
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(serial_bytes(wide, 7, bytes, why));
  EXPECT_EQ(bytes.size(), 256u);
}
