// The station's parts in-process: its command line, what a run's events come
// to, the text of its records and of the live view.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "runs/board_run.h"
#include "text/visible_text.h"
#include "console_view.h"
#include "records/junit_report.h"
#include "ports/port_list.h"
#include "runs/run_log.h"
#include "runs/run_state.h"
#include "station_options.h"

namespace {

using words = std::vector<std::string>;

}  // namespace

TEST(StationOptions, StationOptionsFirstThenTheWords) {
  struct row {
    std::string what;
    words args;
    station_environment env;
    std::string why;  // the start of it; empty: accepted
    words ports = {};
    std::string folder = "/dev/serial/by-id";
    int jobs = 0;
    words run_words = {};
  };
  const std::vector<row> rows{
      {"words alone",
       {"--write", "fw.bin"},
       {},
       "",
       {},
       "/dev/serial/by-id",
       0,
       {"--write", "fw.bin"}},
      {"the environment's folder", {"--write"}, {"ports", ""}, "", {}, "ports", 0, {"--write"}},
      {"--ports-dir over the environment",
       {"--ports-dir=here", "--write"},
       {"ports", ""},
       "",
       {},
       "here",
       0,
       {"--write"}},
      {"ports and jobs, both spellings",
       {"--port", "a", "--port=b", "--jobs=2", "--", "--write"},
       {},
       "",
       {"a", "b"},
       "/dev/serial/by-id",
       2,
       {"--write"}},
      {"the first other word ends the options",
       {"--jobs", "1", "fw.bin", "--write"},
       {},
       "",
       {},
       "/dev/serial/by-id",
       1,
       {"fw.bin", "--write"}},
      {"after --, a station option's name is a word",
       {"--", "--verify", "--", "--list"},
       {},
       "",
       {},
       "/dev/serial/by-id",
       0,
       {"--verify", "--", "--list"}},
      {"--list and --help need no words", {"--list", "--help"}, {}, ""},
      {"-h and -V, the short --help and --version", {"-h", "-V"}, {}, ""},
      {"-h after the words", {"--write", "fw.bin", "-h"}, {}, "-h after vexlor-prog's words"},
      {"a value missing", {"--report"}, {}, "--report needs a value"},
      {"an empty value", {"--log-dir=", "--write"}, {}, "--log-dir needs a value that is not"},
      {"--jobs not a number", {"--jobs", "4x"}, {}, "--jobs takes a number"},
      {"--jobs too many", {"--jobs", "99999"}, {}, "--jobs takes a number"},
      {"--port among the words", {"--write", "--port", "x"}, {}, "--port among vexlor-prog's"},
      {"a station option after the words",
       {"--write", "fw.bin", "--junit=j.xml"},
       {},
       "--junit after vexlor-prog's words"},
      {"--port with --ports-dir",
       {"--port", "a", "--ports-dir", "d"},
       {},
       "--port and --ports-dir"},
      {"the same port twice", {"--port", "a", "--port", "a"}, {}, "port a given twice"},
      {"--list with words", {"--list", "--write"}, {}, "--list flashes nothing"},
      {"--skip-same without --write", {"--skip-same", "--verify"}, {}, "--skip-same leaves out"},
      {"neither --write nor --verify", {"fw.bin"}, {}, "neither --write nor --verify"},
      {"--write as the value of --address",
       {"--address", "--write"},
       {},
       "vexlor-prog would refuse its words: --address needs A after it, not the option --write"},
      {"a mistyped option among the words",
       {"--write", "--verfy", "fw.bin"},
       {},
       "vexlor-prog would refuse its words: unknown option --verfy; did you mean --verify?"},
      {"--save among the words",
       {"--save", "flash.bin", "--size", "16"},
       {},
       "--save among vexlor-prog's words: every board would save to the same file"},
      {"--monitor-for among the words",
       {"--write", "--monitor-for", "5", "fw.bin"},
       {},
       "--monitor among vexlor-prog's words: a station's boards are watched through their "
       "records"},
      // The record database: a --board-id before the words is --history's
      // filter only with --history; otherwise vexlor-prog's, and the words
      // begin with it.
      {"--board-id without --history",
       {"--db", "r.db", "--board-id", "0x1FFF7A10:12", "--write", "fw.bin"},
       {},
       "",
       {},
       "/dev/serial/by-id",
       0,
       {"--board-id", "0x1FFF7A10:12", "--write", "fw.bin"}},
      {"--history and its filters",
       {"--db", "r.db", "--board-id", "0A1B", "--history", "--port", "a", "--since", "2026-12-07"},
       {},
       "",
       {"a"}},
      {"--history without --db", {"--history"}, {}, "--history works on the record database"},
      {"--history with words",
       {"--db", "r.db", "--history", "--write"},
       {},
       "--history flashes nothing: leave out vexlor-prog's words"},
      {"--summary with an option it does not read",
       {"--db", "r.db", "--summary", "--port", "a"},
       {},
       "--summary flashes nothing: leave out --port"},
      {"--history and --summary", {"--db", "r.db", "--history", "--summary"}, {}, "--history and"},
      {"--by without --summary",
       {"--db", "r.db", "--by", "boot-line", "--write", "fw.bin"},
       {},
       "--by chooses what"},
      {"a filter without a query", {"--serial", "5", "--write"}, {}, "--serial chooses the runs"},
      {"--since not a time",
       {"--db", "r.db", "--summary", "--since", "yesterday"},
       {},
       "--since takes an ISO 8601 date or time"},
      {"--release-serial without its pool",
       {"--db", "r.db", "--release-serial", "7"},
       {},
       "--release-serial gives a number back to its pool: give --serial-pool"},
      {"--release-serial flashes nothing",
       {"--db", "r.db", "--serial-pool", "p", "--release-serial", "7", "--port", "a"},
       {},
       "--release-serial flashes nothing: leave out --port"},
      {"--history's --board-id not hex",
       {"--db", "r.db", "--history", "--board-id", "0x1F"},
       {},
       "--board-id takes the board's id"},
      {"--serial-pool without --db",
       {"--serial-pool", "line3", "--serial-at", "0", "--serial-format", "u32le", "--write"},
       {},
       "--serial-pool keeps its numbers in the record database"},
      {"--serial-pool without --serial-at",
       {"--db", "r.db", "--serial-pool", "line3", "--serial-format", "u32le", "--write"},
       {},
       "--serial-pool needs --serial-at and --serial-format"},
      {"--serial-at without a pool",
       {"--serial-at", "0x100", "--write"},
       {},
       "--serial-at belongs"},
      {"--serial-format unknown", {"--serial-format", "u16le"}, {}, "--serial-format: "},
      {"--serial-at past 2^32", {"--serial-at", "0x100000000"}, {}, "--serial-at takes"},
      {"--serial-first past the last number",
       {"--serial-first", "9223372036854775807"},
       {},
       "--serial-first takes"},
      {"--serial-pool without a write",
       {"--db", "r.db", "--serial-pool", "p", "--serial-at", "0", "--serial-format", "u32le",
        "--verify"},
       {},
       "--serial-pool writes each board's number"},
      {"--skip-same with --serial-pool and no --board-id",
       {"--db", "r.db", "--serial-pool", "p", "--serial-at", "0", "--serial-format", "u32le",
        "--skip-same", "--write"},
       {},
       "--skip-same with --serial-pool needs --board-id"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    station_settings settings;
    std::string why;
    const bool accepted = parse_station_options(r.args, r.env, settings, why);
    EXPECT_EQ(accepted, r.why.empty()) << why;
    if (!accepted) {
      EXPECT_TRUE(why.starts_with(r.why)) << why;
      continue;
    }
    EXPECT_EQ(settings.ports, r.ports);
    EXPECT_EQ(settings.ports_folder, r.folder);
    EXPECT_EQ(settings.jobs, r.jobs);
    EXPECT_EQ(settings.words, r.run_words);
  }
}

// A board's runs: the one that reads its id for its serial number, the
// read-back of --skip-same with --verify alone, then the flash, the number
// patched in.
TEST(StationOptions, EachRunOfABoardHasItsWords) {
  station_settings settings;
  std::string why;
  ASSERT_TRUE(parse_station_options({"--skip-same", "--write", "--address", "0x20001000", "fw.bin"},
                                    {}, settings, why));
  EXPECT_EQ(first_stage(settings), run_stage::read_back);
  EXPECT_EQ(run_arguments(settings, "p", run_stage::flash),
            (words{"--port", "p", "--json", "--write", "--address", "0x20001000", "fw.bin"}));
  EXPECT_EQ(run_arguments(settings, "p", run_stage::read_back),
            (words{"--port", "p", "--json", "--verify-until-differ", "--address", "0x20001000",
                   "fw.bin"}));

  ASSERT_TRUE(parse_station_options(
      {"--db", "r.db", "--serial-pool", "line3", "--serial-at", "0x20000100", "--serial-format",
       "u32le", "--write", "--verify", "--board-id", "0x1FFF7A10:12", "--expect", "app v2",
       "--expect-within", "3", "fw.bin"},
      {}, settings, why))
      << why;
  EXPECT_EQ(first_stage(settings), run_stage::identify);
  // The board's start is checked after its flash, not with its old
  // firmware: the identifying run leaves the check out, value and all.
  EXPECT_EQ(run_arguments(settings, "p", run_stage::identify),
            (words{"--port", "p", "--json", "--board-id", "0x1FFF7A10:12", "fw.bin"}));
  EXPECT_EQ(run_arguments(settings, "p", run_stage::flash, {"--patch", "0x20000100:2a000000"}),
            (words{"--port", "p", "--json", "--patch", "0x20000100:2a000000", "--write", "--verify",
                   "--board-id", "0x1FFF7A10:12", "--expect", "app v2", "--expect-within", "3",
                   "fw.bin"}));

  // The station's words come before a "--" among the user's, which makes
  // every word after it an image path.
  ASSERT_TRUE(parse_station_options(
      {"--allow-empty", "--skip-same", "--write", "--keep-unwritten", "--", "-fw.bin"}, {},
      settings, why))
      << why;
  EXPECT_EQ(
      run_arguments(settings, "p", run_stage::read_back),
      (words{"--port", "p", "--json", "--allow-empty", "--verify-until-differ", "--", "-fw.bin"}));

  // --changed-only and --verify-all are the flash's; it gets the station's cache folder.
  ASSERT_TRUE(parse_station_options({"--skip-same", "--write", "--changed-only", "--verify-all",
                                     "--board-id", "0x1FFF7A10:12", "fw.bin"},
                                    {.cache_folder = "/var/cache/line3"}, settings, why))
      << why;
  EXPECT_EQ(run_arguments(settings, "p", run_stage::read_back),
            (words{"--port", "p", "--json", "--verify-until-differ", "--board-id", "0x1FFF7A10:12",
                   "fw.bin"}));
  EXPECT_EQ(run_arguments(settings, "p", run_stage::flash),
            (words{"--port", "p", "--json", "--cache", "/var/cache/line3", "--write",
                   "--changed-only", "--verify-all", "--board-id", "0x1FFF7A10:12", "fw.bin"}));
}

TEST(RunState, WhatARunComesTo) {
  const std::string end_ok =
      R"({"event":"end","ok":true,"exit":0,"phase":null,"reason":null,"schema":1})";
  const std::string end_erase =
      R"({"event":"end","ok":false,"exit":1,"phase":"erase","reason":"the target refused","schema":1})";
  const std::string end_write =
      R"({"event":"end","ok":false,"exit":1,"phase":"write","reason":"the target refused","schema":1})";
  const std::string end_signal =
      R"({"event":"end","ok":false,"exit":143,"phase":"signal","reason":"stopped by SIGTERM","schema":1})";
  const std::string end_of_schema_2 = R"({"event":"end","ok":true,"exit":0,"schema":2})";
  struct row {
    std::string what;
    words lines;
    int exit_status;
    bool stop_sent;
    run_outcome outcome;
    std::string phase;
    std::string reason;  // the start of it
    std::string live;    // phase and detail at the end
    // Whether a serial number it was given would go back to the pool.
    std::optional<bool> wrote_nothing = std::nullopt;
  };
  const std::vector<row> rows{
      {"ok",
       {R"({"event":"phase","phase":"handshake","ok":true})", end_ok},
       0,
       false,
       run_outcome::ok,
       "",
       "",
       "handshake ok",
       true},
      {"refused",
       {R"({"event":"phase","phase":"erase","ok":false,"reason":"x","sector":2})", end_erase},
       1,
       false,
       run_outcome::failed,
       "erase",
       "the target refused",
       "erase failed",
       true},
      {"refused at its first write block, which may have changed the flash",
       {R"({"event":"phase","phase":"write","ok":false,"reason":"x"})", end_write},
       1,
       false,
       run_outcome::failed,
       "write",
       "the target refused",
       "write failed",
       false},
      {"stopped",
       {R"({"event":"progress","phase":"write","done":512,"total":2048})", end_signal},
       143,
       true,
       run_outcome::stopped,
       "signal",
       "stopped by SIGTERM",
       "write 25%",
       false},
      {"ok but a failed exit status",
       {end_ok},
       3,
       false,
       run_outcome::failed,
       "",
       "exit status 3",
       "handshake "},
      {"killed before its end line",
       {R"({"event":"phase","phase":"erase","ok":true,"sector":4})"},
       128 + 9,
       false,
       run_outcome::failed,
       "erase",
       "vexlor-prog was ended by signal 9 during the erase",
       "erase sector 4",
       false},
      {"killed after a stop was passed on",
       {},
       128 + 15,
       true,
       run_outcome::stopped,
       "handshake",
       "stopped by signal 15",
       "handshake "},
      {"its last words kept",
       {R"({"event":"progress","phase":"verify","done":1,"total":3})", "AddressSanitizer: boom",
        "{not json"},
       1,
       false,
       run_outcome::failed,
       "verify",
       "vexlor-prog ended with exit status 1 and no end "
       "line: {not json",
       "verify 33%"},
      {"counts past any sum",
       {R"({"event":"progress","phase":"write","done":9223372036854775807,"total":3})"},
       1,
       false,
       run_outcome::failed,
       "write",
       "vexlor-prog ended with exit status 1",
       "write 100%"},
      {"fields of the wrong type are no events",
       {R"({"event":"phase","phase":7,"ok":"yes"})", R"({"event":"end","ok":1,"schema":1})"},
       0,
       false,
       run_outcome::failed,
       "",
       "exit status 0",
       "handshake "},
      {"a schema the station does not know",
       {end_of_schema_2},
       0,
       false,
       run_outcome::failed,
       "usage",
       "this vexlor-prog speaks --json schema 2, the station reads schema 1",
       "handshake "},
      {"no schema at all",
       {R"({"event":"end","ok":true,"exit":0})"},
       0,
       false,
       run_outcome::failed,
       "usage",
       "this vexlor-prog speaks --json schema 0",
       "handshake "},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    run_progress progress;
    for (const std::string& line : r.lines) take_run_line(progress, line);
    EXPECT_EQ(progress.phase + " " + progress.detail, r.live);
    const run_verdict verdict = judge_run(progress, r.exit_status, r.stop_sent);
    EXPECT_EQ(outcome_name(verdict.outcome), std::string(outcome_name(r.outcome)));
    EXPECT_EQ(verdict.phase, r.phase);
    EXPECT_TRUE(verdict.reason.starts_with(r.reason)) << verdict.reason;
    if (r.wrote_nothing) {
      EXPECT_EQ(nothing_written(progress, r.exit_status), *r.wrote_nothing);
    }
  }
}

TEST(StationRecords, XmlTextIsEscapedAndValid) {
  struct row {
    std::string text;
    std::string xml;
  };
  const std::vector<row> rows{
      {"a<b>&\"c'", "a&lt;b&gt;&amp;&quot;c&apos;"},
      {"tab\there\nline", "tab&#9;here&#10;line"},
      {"bell\x07", "bell\xEF\xBF\xBD"},                          // no control character in XML
      {"caf\xC3\xA9", "caf\xC3\xA9"},                            // UTF-8 kept
      {"bad\xC3(", "bad\xEF\xBF\xBD("},                          // a cut sequence
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // an overlong '/'
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(xml_escaped(r.text), r.xml);
  }
}

TEST(StationView, OutsideTextShowsItsControlCharacters) {
  struct row {
    std::string text;
    std::string shown;
  };
  const std::vector<row> rows{
      {"usb-FTDI_FT232R_USB_UART_A10K2Q-if00-port0", "usb-FTDI_FT232R_USB_UART_A10K2Q-if00-port0"},
      {"caf\xC3\xA9 \\.\\COM3", "caf\xC3\xA9 \\.\\COM3"},  // UTF-8 and backslashes kept
      {"a\x1b[2Jb\x1b]52;c;aGk=\x07", "a\\x1b[2Jb\\x1b]52;c;aGk=\\x07"},  // no sequence begins
      {"nl\nok\ttab\r\x7f", "nl\\x0aok\\x09tab\\x0d\\x7f"},               // C0 and DEL
      {"csi\x9b"
       "2J",
       "csi\\x9b2J"},                                // a raw C1 byte
      {"next\xC2\x85line", "next\\xc2\\x85line"},    // C1 in UTF-8
      {"cut\xC3", "cut\\xc3"},                       // no whole character
      {"overlong \xC0\xAF", "overlong \\xc0\\xaf"},  // no shortest form
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(visible_text(r.text), r.shown);
    EXPECT_EQ(has_invisible_bytes(r.text), r.text != r.shown);
  }
  EXPECT_EQ(visible_text("a \"b\" \\c\t", "\"\\"), "a \\\"b\\\" \\\\c\\x09");
  board_run run{.port = {.name = "x\ny"}, .verdict = {run_outcome::failed, "port", "no\x1b[2J"}};
  run.exit_status = 1;
  EXPECT_EQ(result_line(run), "FAILED  x\\x0ay (exit 1): no\\x1b[2J\n");
  // A stopped run is to be run again, not set aside as faulty.
  run.verdict = {run_outcome::stopped, "signal", "stopped by SIGTERM"};
  EXPECT_EQ(result_line(run), "STOPPED x\\x0ay (exit 1): stopped by SIGTERM\n");
}

TEST(StationRecords, IdentityAndReportLines) {
  const usb_identity adapter{"0403", "6001", "A10K2Q", "FTDI", "FT232R USB UART", "1-1.4:1.0"};
  usb_identity bare = adapter;
  bare.serial = bare.manufacturer = "";
  bare.product = "Tab\there \"quoted\"";
  EXPECT_EQ(identity_text(adapter),
            "0403:6001 serial=A10K2Q usb=1-1.4:1.0 \"FTDI\" \"FT232R USB UART\"");
  EXPECT_EQ(identity_text(bare), "0403:6001 usb=1-1.4:1.0 \"\" \"Tab\\x09here \\\"quoted\\\"\"");
  EXPECT_EQ(port_list_line({.name = "by-id-name", .device = "/dev/ttyUSB0", .identity = adapter}),
            "by-id-name\t/dev/ttyUSB0\t" + identity_text(adapter));

  // A run that could not start: no end object, so the tool's facts are null.
  board_run run{.port = {.name = "p", .device = "/dev/ttyUSB0", .identity = adapter},
                .verdict = {run_outcome::failed, "start", "cannot start"}};
  const nlohmann::json record = nlohmann::json::parse(report_line(run, "line-3"));
  EXPECT_EQ(record["identity"]["serial"], "A10K2Q");
  EXPECT_TRUE(record["image"].is_null() && record["sha256"].is_null() && record["exit"].is_null());
  EXPECT_EQ(record["outcome"], "failed");
  EXPECT_EQ(record["station"], "line-3");
  EXPECT_EQ(result_line(run), "FAILED  p (not run): cannot start\n");
}

// The spool's record: read back as it was written, or not at all.
TEST(StationRecords, SpooledRecordsComeBackAsTheyWent) {
  run_record full{.run_id = "0a1b",
                  .port = "usb, \"A\"",
                  .device = "/dev/ttyUSB0",
                  .identity = usb_identity{"0403", "6001", "A10K2Q", "", "FT232R", "1-1.4:1.0"},
                  .image = "fw.bin",
                  .sha256 = "3f0c",
                  .size = 65536,
                  .address = 536870912,
                  .baud = 115200,
                  .start = "2026-12-07T10:31:02.123Z",
                  .end = "2026-12-07T10:31:02.498Z",
                  .seconds = 0.375,
                  .exit_status = 1,
                  .outcome = "failed",
                  .phase = "erase",
                  .reason = "refused\x1b[2J",
                  .station = "line3",
                  .board_id = "00aa",
                  .serial = serial_use{"line3", 1042, serial_settlement::returned},
                  .station_image = "fw.bin",
                  .station_sha256 = "3f0c",
                  .warnings = {"w"},
                  .sectors_written = 3,
                  .boot_line = "app v1"};
  const run_record bare{.run_id = "0a1c", .port = "p", .start = "s", .end = "e", .outcome = "ok"};
  for (const run_record& record : {full, bare}) {
    SCOPED_TRACE(record.port);
    run_record back;
    std::string why;
    ASSERT_TRUE(record_of_spool_line(spool_line(record), back, why)) << why;
    EXPECT_EQ(history_line(back), history_line(record));
  }
  const std::string line = spool_line(bare);
  const std::string refused[] = {
      std::regex_replace(line, std::regex("\"spool\":1"), "\"spool\":2"),
      std::regex_replace(line, std::regex("\"run_id\":\"0a1c\""), "\"run_id\":null"),
      std::regex_replace(line, std::regex("\"port\":\"p\""), "\"port\":7"),
      line.substr(0, line.size() / 2)};
  for (const std::string& text : refused) {
    SCOPED_TRACE(text);
    run_record back;
    std::string why;
    EXPECT_FALSE(record_of_spool_line(text, back, why));
  }
  // --history --csv: the same fields, quoted where they must be, no control
  // character raw.
  const std::string csv = history_csv_line(full), header = history_csv_header();
  EXPECT_TRUE(header.starts_with("port,device,identity.vendor_id,"));
  EXPECT_TRUE(csv.starts_with("\"usb, \"\"A\"\"\",/dev/ttyUSB0,0403,")) << csv;
  EXPECT_NE(csv.find(",refused\\x1b[2J,"), std::string::npos) << csv;
  EXPECT_EQ(std::count(csv.begin(), csv.end(), ','),
            std::count(header.begin(), header.end(), ',') + 1);
}

// --since and --until: an ISO 8601 date or time, compared as a time.
TEST(StationRecords, TimesAreReadAsISO8601) {
  struct row {
    std::string text;
    bool until;
    std::string utc;  // empty: refused
  };
  const row rows[] = {
      {"2026-12-07", false, "2026-12-07T00:00:00.000Z"},
      {"2026-12-07", true, "2026-12-08T00:00:00.000Z"},  // to the day's end
      {"2026-12-31", true, "2027-01-01T00:00:00.000Z"},
      {"2026-12-07T10:31", false, "2026-12-07T10:31:00.000Z"},
      {"2026-12-07 10:31:02.5Z", true, "2026-12-07T10:31:02.500Z"},
      {"2026-12-07T00:30:00+01:00", false, "2026-12-06T23:30:00.000Z"},
      {"2026-12-07T10:31-0530", false, "2026-12-07T16:01:00.000Z"},
      {"2024-02-29", false, "2024-02-29T00:00:00.000Z"},
      {"2026-02-29", false, ""},
      {"2026-12-9", false, ""},
      {"2026-13-45", false, ""},
      {"2026-12-07T24:00", false, ""},
      {"2026-12-07T10:31:02.", false, ""},
      {"2026-12-07Z", false, ""},
      {"yesterday", false, ""},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.text);
    std::string utc, why;
    EXPECT_EQ(parse_record_time(r.text, r.until, utc, why), !r.utc.empty()) << why;
    if (!r.utc.empty()) {
      EXPECT_EQ(utc, r.utc);
    }
  }
}

TEST(StationRecords, EachPortItsOwnLog) {
  struct row {
    std::string port;
    std::string log;
  };
  const std::vector<row> rows{
      {"usb-FTDI_FT232R_USB_UART_A10K2Q-if00-port0",
       "usb-FTDI_FT232R_USB_UART_A10K2Q-if00-port0.log"},
      {"/dev/ttyUSB0", "dev_ttyUSB0+37800d82f33ecf63.log"},  // as the manual shows it
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.port);
    EXPECT_EQ(log_file_name(r.port), r.log);
  }
}

TEST(StationView, LiveLinesFitTheTerminalAndSayWhereTheStationStands) {
  const station_tally tally{.ok = 3, .failed = 1, .stopped = 1, .running = 2, .waiting = 4};
  const std::string tally_line = "3 ok, 1 failed, 1 stopped, 2 running, 4 waiting\x1b[K\n";
  const std::string idle_tally = "0 ok, 0 failed, 0 stopped, 0 running, 0 waiting\x1b[K\n";
  const live_board under_way{"board-1", "write", "42%", 75.5};
  live_board guessed = under_way;
  guessed.seconds_left = 100.4;
  std::vector<live_board> many;
  for (int i = 0; i < 6; ++i) {
    many.push_back(
        {"board-" + std::to_string(i) + std::string(i == 0 ? 50 : 0, 'x'), "write", "42%", 75.5});
  }
  struct row {
    std::string what;
    live_view live;
    terminal_size size;
    std::vector<std::string> lines;
  };
  const std::vector<row> rows{
      {"a free row, two boards, the rest counted, the tally: each cut to the width",
       {many, "", tally},
       {.columns = 40, .rows = 6},
       {"board-0" + std::string(32, 'x') + "\x1b[K\n",
        "board-1" + std::string(32, ' ') + "\x1b[K\n", "... and 4 more\x1b[K\n",
        tally_line.substr(0, 39) + "\x1b[K\n"}},
      {"a board under way",
       {{under_way}, "", tally},
       {80, 24},
       {"board-1  write     42%        1:15\x1b[K\n", tally_line}},
      {"... with the time it still needs",
       {{guessed}, "", tally},
       {80, 24},
       {"board-1  write     42%        1:15  1:40 left\x1b[K\n", tally_line}},
      {"a board --jobs holds back",
       {{under_way, {.name = "board-22", .waiting = true}}, "", tally},
       {80, 24},
       {"board-1   write     42%        1:15\x1b[K\n", "board-22  waiting\x1b[K\n", tally_line}},
      {"an idle --watch: what it waits for, the name made visible",
       {{}, "/dev/serial/by-id\x1b[2J", {}},
       {80, 24},
       {"waiting for boards in /dev/serial/by-id\\x1b[2J\x1b[K\n", idle_tally}},
      {"nothing to show: no lines", {}, {80, 24}, {}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(live_lines(r.live, r.size), r.lines);
  }
}

TEST(RunState, TheTimeARunStillNeeds) {
  const std::string handshake = R"({"event":"phase","phase":"handshake","ok":true})";
  const auto progress = [](const char* phase, int percent) {
    return std::string(R"({"event":"progress","phase":")") + phase + R"(","done":)" +
           std::to_string(percent) + R"(,"total":100})";
  };
  struct row {
    std::string what;
    words lines;
    bool writes;
    bool verifies;
    double seconds;
    std::optional<double> left;
  };
  const std::vector<row> rows{
      {"the handshake: no guess", {handshake}, true, true, 1, std::nullopt},
      {"too little done to guess", {progress("write", 8)}, true, true, 3, std::nullopt},
      {"half the write, the verify to come", {progress("write", 50)}, true, true, 10, 30},
      {"half the verify, after the write", {progress("verify", 50)}, true, true, 30, 10},
      {"a write alone", {progress("write", 20)}, true, false, 10, 40},
      {"a read-back alone", {progress("verify", 10)}, false, true, 1, 9},
      {"all done", {progress("verify", 100)}, true, true, 20, 0},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    run_progress state;
    for (const std::string& line : r.lines) take_run_line(state, line);
    const std::optional<double> left = run_seconds_left(state, r.writes, r.verifies, r.seconds);
    ASSERT_EQ(left.has_value(), r.left.has_value());
    if (left) {
      EXPECT_NEAR(*left, *r.left, 1e-9);
    }
  }
}
