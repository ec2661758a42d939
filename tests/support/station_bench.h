// The station's bench for the end-to-end tests: boards that are simulators
// whose links in a folder stand for the adapters of /dev/serial/by-id,
// stand-ins for vexlor-prog, and the station's records read back.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/simulator.h"

// A board on the bench: a simulator whose port is a link.
struct bench_board {
  std::string name;
  sim_target sim;
  std::string memory_path;  // its memory at the image's place, written as it exits
};

// Starts the simulator of board `name` in `dir`, linked as `link`, with its
// log beside it and its memory of [address, address + size) dumped as it
// exits; one session (--once) unless `sessions`, then `sim_args`. Throws
// when it prints no pty path.
bench_board start_bench_board(const std::string& dir, const std::string& name,
                              const std::string& link, uint32_t address, std::size_t size,
                              const std::vector<std::string>& sim_args, bool sessions);

// A stand-in for vexlor-prog, for the station's VEXLOR_PROG: a shell script
// at `path` that runs `body` with the run's words as "$@".
void write_stand_in(const std::string& path, const std::string& body);

// The end line of a run that succeeded, as a stand-in prints it.
extern const char* const stand_in_end_ok;

std::vector<std::string> lines_of(const std::string& text);

// xmllint's answer to an XPath expression on the file: a count or a text.
std::string xpath(const std::string& file, const std::string& expression);

// The report's record of `port`; null when it has none.
nlohmann::json record_of(const std::vector<nlohmann::json>& records, const std::string& port);
