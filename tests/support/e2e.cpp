#include "support/e2e.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

std::string env_or(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

}  // namespace

sim_target start_sim(const std::string& dir, const std::vector<std::string>& args) {
  const std::string log_path = dir + "/sim.log";
  fs::remove(log_path);  // the simulator appends; each run gets its own log
  std::vector<std::string> all = {"--once", "--log", log_path, "--max-seconds", "60"};
  all.insert(all.end(), args.begin(), args.end());
  sim_target sim = start_simulator(VEXLOR_SIM_PATH, all, dir);
  if (sim.pty_path.empty()) throw std::runtime_error("vexlor-sim printed no pty path");
  sim.log_path = log_path;
  return sim;
}

int finish_sim(sim_target& sim) { return wait_process(sim.process, 10).exit_code; }

std::vector<timed_line> read_timed_lines(const std::string& path) {
  std::vector<timed_line> lines;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    timed_line timed;
    fields >> timed.t;
    std::getline(fields >> std::ws, timed.text);
    lines.push_back(timed);
  }
  return lines;
}

std::vector<sim_event> read_sim_log(const std::string& path) {
  std::vector<sim_event> log;
  for (const timed_line& line : read_timed_lines(path)) {
    std::istringstream fields(line.text);
    sim_event event;
    event.t = line.t;
    fields >> event.kind;
    std::getline(fields >> std::ws, event.text);
    if (event.kind == "rx" || event.kind == "tx") {
      std::istringstream hex(event.text);
      std::string byte;
      while (hex >> byte)
        event.bytes.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
    }
    log.push_back(event);
  }
  return log;
}

bool sim_log_has(const std::string& path, const std::string& kind) {
  const std::vector<sim_event> log = read_sim_log(path);
  return std::any_of(log.begin(), log.end(), [&](const sim_event& e) { return e.kind == kind; });
}

std::vector<uint8_t> bytes_received(const std::vector<sim_event>& log) {
  std::vector<uint8_t> bytes;
  for (const sim_event& e : log) {
    if (e.kind == "rx") bytes.insert(bytes.end(), e.bytes.begin(), e.bytes.end());
  }
  return bytes;
}

std::vector<int> erased_sectors(const std::vector<sim_event>& log) {
  std::vector<int> sectors;
  for (const sim_event& e : log) {
    if (e.kind == "erase") sectors.push_back(std::stoi(e.text));
  }
  return sectors;
}

std::vector<wire_range> wire_ranges(const std::vector<uint8_t>& received) {
  constexpr std::size_t erase_exchange = 4;  // prelude, command, list count, sector
  constexpr std::size_t block_header = 6;    // command, address, length
  std::vector<wire_range> ranges;
  std::size_t i = 0;
  while (i < received.size()) {
    const uint8_t command = received[i];
    if (command == start_byte) {
      i += 1;
    } else if (command == erase_prelude) {
      i += erase_exchange;
    } else if ((command == write_command || command == read_command) &&
               i + block_header <= received.size()) {
      const uint32_t address = address_from_field(&received[i + 1]);
      const uint32_t length = uint32_t{received[i + 5]} + 1;
      wire_range* last = ranges.empty() ? nullptr : &ranges.back();
      if (last && last->command == command && last->address + last->size == address) {
        last->size += length;
      } else {
        ranges.push_back({command, address, length});
      }
      // A read's data comes from the target, a write's goes with its block.
      i += block_header + (command == write_command ? length : 0);
    } else {
      break;  // a command cut short, or none of these
    }
  }
  return ranges;
}

double first_byte_to_close(const std::vector<sim_event>& log) {
  double first = -1;
  for (const sim_event& e : log) {
    if (e.kind == "rx" && first < 0) first = e.t;
    if (e.kind == "close" && first >= 0) return e.t - first;
  }
  return -1;
}

bool running_under_wine() { return env_or("VEXLOR_TARGET", "native") == "wine"; }

std::string wine_com_port(int number, const std::string& pty_path) {
  const fs::path link =
      fs::path(env_or("WINEPREFIX", "")) / "dosdevices" / ("com" + std::to_string(number));
  fs::remove(link);
  if (!pty_path.empty()) fs::create_symlink(pty_path, link);
  return "COM" + std::to_string(number);
}

namespace {

// Runs a program of the project as the target under test has it: the native
// binary, or the Windows build under Wine, whose console line ends are
// normalised to "\n".
process_result run_target(const std::string& native, const std::string& windows,
                          const std::string& dir, const std::vector<std::string>& args,
                          std::vector<std::string> env, double timeout_s) {
  const bool wine = running_under_wine();
  std::vector<std::string> argv{native};
  if (wine) {
    argv = {env_or("VEXLOR_WINE", "/usr/bin/wine"), windows};
    env.push_back("WINEDEBUG=-all");
  }
  argv.insert(argv.end(), args.begin(), args.end());
  process_result result = run_process(argv, dir, env, wine ? 2 * timeout_s : timeout_s,
                                      wine ? child_output::captured_quiet : child_output::captured);
  if (wine) {
    std::string normalised;
    for (std::size_t i = 0; i < result.out.size(); ++i) {
      if (result.out[i] == '\r' && i + 1 < result.out.size() && result.out[i + 1] == '\n') continue;
      normalised += result.out[i];
    }
    result.out = normalised;
  }
  return result;
}

}  // namespace

process_result run_programmer(const std::string& dir, std::vector<std::string> args,
                              const std::string& pty_path,
                              const std::vector<std::string>& env_extra) {
  std::string port = pty_path;
  // Each test process gets its own COM number, two digits or more, so
  // parallel tests never share a mapping and the \\.\ form is exercised.
  if (running_under_wine()) {
    const int number = 10 + static_cast<int>(getpid() % 200);
    port = pty_path.empty() ? "COM" + std::to_string(number) : wine_com_port(number, pty_path);
  }
  for (std::string& a : args) {
    if (a == "@PORT") a = port;
  }
  return run_target(VEXLOR_PROG_PATH, VEXLOR_PROG_EXE_PATH, dir, args, env_extra, 60);
}

process_result run_station(const std::string& dir, const std::vector<std::string>& args,
                           const std::vector<std::string>& env_extra, double timeout_s) {
  std::vector<std::string> all = args;
  std::string native = VEXLOR_FLASH_ALL_PATH;
  if (!running_under_wine()) {
    // Its messages on standard error come with the result lines.
    all.insert(all.begin(), {"-c", "exec \"$0\" \"$@\" 2>&1", native});
    native = "/bin/sh";
  }
  return run_target(native, VEXLOR_FLASH_ALL_EXE_PATH, dir, all, env_extra, timeout_s);
}

std::vector<std::string> line_recorder_env(const std::string& log_path,
                                           const std::string& lines_to) {
  std::vector<std::string> env{"LD_PRELOAD=" VEXLOR_LINE_RECORDER_PATH,
                               "VEXLOR_LINE_LOG=" + log_path};
  if (!lines_to.empty()) env.push_back("VEXLOR_LINES_TO=" + lines_to);
  return env;
}

std::vector<std::string> line_requests(const std::string& log_path) {
  std::vector<std::string> requests;
  for (const timed_line& line : read_timed_lines(log_path)) {
    if (!line.text.starts_with("write")) requests.push_back(line.text);
  }
  return requests;
}
