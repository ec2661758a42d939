#include "support/station_bench.h"

#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "support/address.h"
#include "support/process.h"
#include "support/test_files.h"

bench_board start_bench_board(const std::string& dir, const std::string& name,
                              const std::string& link, uint32_t address, std::size_t size,
                              const std::vector<std::string>& sim_args, bool sessions) {
  bench_board board{name, {}, dir + "/" + name + ".memory"};
  const std::string log = dir + "/" + name + ".sim.log";
  std::vector<std::string> args{
      "--link",        link,
      "--max-seconds", "60",
      "--dump",        hex_address(address) + ":" + std::to_string(size) + ":" + board.memory_path,
      "--log",         log};
  if (!sessions) args.push_back("--once");
  args.insert(args.end(), sim_args.begin(), sim_args.end());
  board.sim = start_simulator(VEXLOR_SIM_PATH, args, dir);
  if (board.sim.pty_path.empty()) throw std::runtime_error("vexlor-sim printed no pty path");
  board.sim.log_path = log;
  return board;
}

void write_stand_in(const std::string& path, const std::string& body) {
  const std::string script = "#!/bin/sh\n" + body + "\n";
  write_file(path, {script.begin(), script.end()});
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

const char* const stand_in_end_ok =
    R"({"event":"end","ok":true,"exit":0,"phase":null,"reason":null,"image":"image.bin",)"
    R"("version":"stand-in","schema":1})";

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

nlohmann::json record_of(const std::vector<nlohmann::json>& records, const std::string& port) {
  for (const nlohmann::json& record : records) {
    if (record["port"] == port) return record;
  }
  return nullptr;
}

std::string xpath(const std::string& file, const std::string& expression) {
  std::string answer =
      run_process({"/usr/bin/xmllint", "--xpath", expression, file}, "", {}, 10).out;
  if (answer.ends_with('\n')) answer.pop_back();
  return answer;
}
