// The --json contract both ways: every event the programmer can emit,
// written as vexlor-prog writes it and read back as the station reads it,
// comes back as it was emitted.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>

#include "cli/json_report.h"
#include "contract/run_contract.h"
#include "support/json_lines.h"
#include "support/test_files.h"

TEST(RunContract, EveryEventReadsBackAsWritten) {
  const end_line failed{.ok = false,
                        .errors = 1,
                        .exit = 143,
                        .phase = run_phase::signal,
                        .reason = "stopped by SIGTERM",
                        .port = "/dev/ttyUSB0",
                        .image = "fw.bin",
                        .size = 300,
                        .sha256 = std::string(64, 'a'),
                        .address = 0x20000000,
                        .baud = 115200,
                        .seconds = 1.25,
                        .version = tool_version(),
                        .segments = 3,
                        .saved = "flash.bin",
                        .format = "ihex"};
  const end_line usage{.exit = 2, .phase = run_phase::usage, .reason = "bad", .baud = -5};
  const end_line save_alone{.ok = true, .errors = 0, .exit = 0, .saved = "flash.bin"};
  const end_line ok{.ok = true,
                    .errors = 0,
                    .exit = 0,
                    .port = "COM3",
                    .image = "a b\"c",
                    .sha256 = std::string(64, 'b'),
                    .write = true,
                    .board_id = "0a1b2c",
                    .written_sha256 = std::string(64, 'c'),
                    .sectors_written = 1,
                    .boot_line = "app v2.3.1 build 884"};
  const std::vector<run_event> events{
      protocol_event{run_phase::handshake, handshake_ended{.ok = true}},
      protocol_event{run_phase::handshake, handshake_ended{.ok = false, .reason = "no answer"}},
      protocol_event{run_phase::handshake,
                     handshake_attempt_failed{.attempt = 2, .attempts = 5, .reason = "an echo"}},
      protocol_event{run_phase::erase, sector_erased{.sector = 17, .ok = true}},
      protocol_event{run_phase::keep, transfer_ended{.direction = transfer_direction::read,
                                                     .address = 0x200C2000,
                                                     .size = 0x1000}},
      protocol_event{run_phase::erase, sector_erased{.sector = 4, .ok = false, .reason = "x"}},
      protocol_event{run_phase::write, transfer_progress{.address = 1, .size = 300, .done = 256}},
      protocol_event{run_phase::write, transfer_ended{.address = 0xFFFFFF00, .size = 256}},
      protocol_event{run_phase::verify,
                     transfer_ended{.address = 2, .size = 3, .ok = false, .reason = "short"}},
      compared{.address = 0x20000000, .size = 300, .ok = false, .reason = "differ in 1 byte(s)"},
      compared{.address = 0x20000000, .size = 0},
      run_warning{"the driver set 115200 baud, not the 250000 asked for"},
      protocol_event{run_phase::save, transfer_progress{.address = 4, .size = 512, .done = 512}},
      protocol_event{run_phase::save,
                     transfer_ended{.address = 4, .size = 512, .ok = false, .reason = "short"}},
      save_ended{.path = "flash.bin", .address = 0x20002000, .size = 8192},
      save_ended{.path = "f", .address = 1, .size = 2, .ok = false, .reason = "disk full"},
      board_identified{"0a1b2c3d4e5f60718293a4b5"},
      protocol_event{run_phase::board_id, transfer_ended{.direction = transfer_direction::read,
                                                         .address = 0x1FFF7A10,
                                                         .size = 12,
                                                         .ok = false,
                                                         .reason = "refused"}},
      sectors_unchanged{{0, 2, 3, 16}},
      board_forgotten{.id = "0a1b2c", .ok = false, .reason = "permission denied"},
      boot_check_begun{},
      boot_checked{.line = "app v1", .seconds = 0.25, .lines = {"boot", "clock 16 MHz", "app v1"}},
      boot_checked{.ok = false, .reason = "no line with \"app v1\" within 10 s", .seconds = 10},
      board_output{"hard fault at pc=0x08001d2c: restarting"},
      run_ended{failed},
      run_ended{usage},
      run_ended{ok},
      run_ended{save_alone},
  };
  for (const run_event& event : events) {
    json_state state;
    const std::optional<run_line> written = json_line(event, state);
    ASSERT_TRUE(written);
    std::string text = run_line_text(*written);
    SCOPED_TRACE(text);
    ASSERT_TRUE(text.ends_with("\n"));
    text.pop_back();
    EXPECT_EQ(parse_run_line(text), written);
  }
}

TEST(RunContract, WhatIsNoEventOfTheContract) {
  EXPECT_FALSE(parse_run_line("AddressSanitizer: boom"));
  EXPECT_FALSE(parse_run_line("[1,2]"));
  EXPECT_FALSE(parse_run_line(R"({"event":"phase","phase":"nowhere","ok":true})"));
  EXPECT_EQ(parse_run_line(R"({"event":"board_of_the_future"})"), run_line(unknown_line{}));
  const auto end = parse_run_line(R"({"event":"end","ok":true,"exit":0,"size":-1,"address":5e9})");
  ASSERT_TRUE(end);
  const end_line& line = std::get<end_line>(*end);
  EXPECT_EQ(line.schema, 0);  // none named: a reader refuses it
  EXPECT_FALSE(line.size);    // out of its type's range: absent
  EXPECT_EQ(line.address, 0u);
}

// The events the manuals show are those the programmer writes, each with
// every key it writes for that event and no other: a field added to the end
// object cannot be left out of them.
TEST(RunContract, TheManualsShowEachEventAsItIsWritten) {
  const auto keys = [](const nlohmann::json& object) {
    std::set<std::string> names;
    for (const auto& item : object.items()) names.insert(item.key());
    return names;
  };
  const std::filesystem::path source = std::filesystem::path(__FILE__).parent_path().parent_path();
  for (const char* page : {"docs/usage.md", "man/vexlor-prog.1"}) {
    SCOPED_TRACE(page);
    // As a reader sees it: the manual page's escapes undone.
    const std::string text = std::regex_replace(
        std::regex_replace(read_text((source / page).string()), std::regex(R"(\\&)"), ""),
        std::regex(R"(\\-)"), "-");
    std::set<std::string> events;
    for (std::size_t at = 0; (at = text.find("{\"event\":", at)) != std::string::npos; ++at) {
      const std::string example = text.substr(at, text.find('}', at) + 1 - at);
      if (!nlohmann::json::accept(example)) continue;  // a pattern: {"event":"end",...}
      SCOPED_TRACE(example);
      const std::optional<run_line> read = parse_run_line(example);
      ASSERT_TRUE(read);
      EXPECT_EQ(keys(nlohmann::json::parse(example)),
                keys(nlohmann::json::parse(run_line_text(*read))));
      events.insert(nlohmann::json::parse(example)["event"]);
    }
    EXPECT_TRUE(events.contains("end") && events.contains("phase"));
  }
}
