#include "board_cost.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "stats.h"
#include "support/test_files.h"

namespace {

// The total of `strace -c -o FILE`: its last line, "100.00 ... CALLS ERRORS total".
long strace_total(const std::string& path) {
  std::ifstream in(path);
  long total = -1;
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::vector<std::string> fields;
    for (std::string field; words >> field;) fields.push_back(field);
    if (fields.size() >= 4 && fields.back() == "total") total = std::stol(fields[3]);
  }
  return total;
}

bool have_strace() {
  return run_process({"/usr/bin/strace", "-V"}, "", {}, 10, child_output::discarded).exit_code == 0;
}

std::vector<std::string> sim_args(uint32_t baud, const std::string& dump, bool sessions = false) {
  std::vector<std::string> args{"--max-seconds", "600", "--baud", std::to_string(baud)};
  if (!sessions) args.push_back("--once");
  if (!dump.empty()) args.insert(args.end(), {"--dump", dump});
  return args;
}

std::vector<std::string> prog_args(const bench_paths& paths, const std::string& port, uint32_t baud,
                                   const std::string& image_path) {
  return {paths.prog,           "--port",  port,       "--baudrate",
          std::to_string(baud), "--write", "--verify", image_path};
}

// One job with both sides under strace; their system calls, all kinds.
void count_syscalls(const bench_paths& paths, uint32_t baud, const std::string& image_path,
                    board_cost& cost) {
  const std::string dir = make_test_dir();
  // strace is the program started; the simulator and its words follow.
  std::vector<std::string> sim_words{"-f", "-c", "-o", dir + "/sim.txt", paths.sim};
  for (const std::string& a : sim_args(baud, "")) sim_words.push_back(a);
  sim_target sim = start_simulator("/usr/bin/strace", sim_words);
  if (!sim.pty_path.empty()) {
    std::vector<std::string> argv{"/usr/bin/strace", "-f", "-c", "-o", dir + "/prog.txt"};
    for (const std::string& a : prog_args(paths, sim.pty_path, baud, image_path)) argv.push_back(a);
    run_process(argv, "", {}, run_limit_s, child_output::discarded);
    wait_process(sim.process, run_limit_s);
    cost.prog_syscalls = strace_total(dir + "/prog.txt");
    cost.sim_syscalls = strace_total(dir + "/sim.txt");
  } else {
    stop_process(sim.process);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace

std::vector<sim_target> start_boards(const bench_paths& paths, uint32_t baud,
                                     std::size_t image_size, const std::string& dir, int boards,
                                     const std::string& ports_folder, bool sessions) {
  std::vector<sim_target> sims;
  for (int i = 0; i < boards; ++i) {
    const std::string dump =
        "0x20000000:" + std::to_string(image_size) + ":" + dir + "/" + std::to_string(i);
    std::vector<std::string> args = sim_args(baud, dump, sessions);
    if (!ports_folder.empty()) {
      args.insert(args.end(), {"--link", ports_folder + "/board-" + std::to_string(i)});
    }
    sims.push_back(start_simulator(paths.sim, args));
  }
  return sims;
}

int intact_boards(std::vector<sim_target>& sims, const std::string& dir,
                  const std::vector<uint8_t>& image, bool stop_first) {
  int intact = 0;
  for (std::size_t i = 0; i < sims.size(); ++i) {
    if (stop_first) {
      stop_process(sims[i].process, run_limit_s);
    } else {
      wait_process(sims[i].process, run_limit_s);
    }
    if (read_file(dir + "/" + std::to_string(i)) == image) ++intact;
  }
  return intact;
}

double flash_at_once(const bench_paths& paths, uint32_t baud, const std::string& image_path,
                     int boards, int& intact) {
  const std::string dir = make_test_dir();
  const std::vector<uint8_t> image = read_file(image_path);
  std::vector<sim_target> sims = start_boards(paths, baud, image.size(), dir, boards);
  const auto start = test_clock::now();
  std::vector<child_process> progs;
  for (const sim_target& sim : sims) {
    progs.push_back(start_process(prog_args(paths, sim.pty_path, baud, image_path), "", {},
                                  child_output::discarded));
  }
  for (child_process& prog : progs) wait_process(prog, run_limit_s);
  const double wall = seconds_since(start);
  intact = intact_boards(sims, dir, image);
  std::filesystem::remove_all(dir);
  return wall;
}

board_cost measure_board_cost(const bench_paths& paths, uint32_t baud,
                              const std::string& image_path, int boards, int runs) {
  board_cost cost;
  std::vector<double> prog_cpu, sim_cpu;
  for (int i = 0; i < runs; ++i) {
    const tool_run run = run_tool(paths, baud, image_path, true, true);
    prog_cpu.push_back(run.prog.cpu_s);
    sim_cpu.push_back(run.sim.cpu_s);
  }
  cost.prog_cpu_s = median_of(prog_cpu);
  cost.sim_cpu_s = median_of(sim_cpu);
  if (have_strace()) count_syscalls(paths, baud, image_path, cost);
  int one_intact = 0;
  cost.one_board_s = flash_at_once(paths, baud, image_path, 1, one_intact);
  cost.boards = boards;
  cost.many_boards_s = flash_at_once(paths, baud, image_path, boards, cost.intact);
  return cost;
}
