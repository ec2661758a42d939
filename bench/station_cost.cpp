#include "station_cost.h"

#include <poll.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "board_cost.h"
#include "stats.h"
#include "support/test_files.h"

namespace {

constexpr double idle_watch_s = 20;

// The time the kernel has run the process's thread, in seconds, from
// /proc/PID/schedstat (nanoseconds): exact where the clock ticks of
// /proc/PID/stat would round a tenth of a second to 10 ms. It can be read
// until the process is reaped.
double thread_cpu_s(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
  double nanoseconds = 0;
  in >> nanoseconds;
  return nanoseconds / 1e9;
}

// Waits until the child has exited, without reaping it.
void wait_for_exit(const child_process& child, double timeout_s) {
  const auto give_up = deadline_in(timeout_s);
  siginfo_t info{};
  while (test_clock::now() < give_up) {
    pollfd exited{child.exit_fd, POLLIN, 0};
    poll(&exited, 1, std::min(poll_ms_until(give_up), 100));
    info.si_pid = 0;
    if (waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == child.pid) {
      return;
    }
  }
}

// What one station run over blank boards came to.
struct station_run {
  process_result run;  // reaped: its figures count the runs it reaped too
  double own_cpu_s = 0;
  int intact = 0;
};

// `boards` blank boards, linked in a ports folder of `dir`, through the
// station; with `skip_same`, each is read back first (two sessions a board).
station_run flash_through_station(const bench_paths& paths, uint32_t baud,
                                  const std::string& image_path, const std::vector<uint8_t>& image,
                                  int boards, const std::string& dir, bool skip_same) {
  const std::string ports = dir + "/ports";
  std::filesystem::create_directory(ports);
  std::vector<sim_target> sims =
      start_boards(paths, baud, image.size(), dir, boards, ports, skip_same);
  std::vector<std::string> argv{paths.station, "--ports-dir", ports, "--report",
                                dir + "/report.jsonl"};
  if (skip_same) argv.push_back("--skip-same");
  argv.insert(argv.end(), {"--write", "--verify", image_path, "--baudrate", std::to_string(baud)});
  // Not a terminal: the result lines alone, as on a station that logs them.
  child_process station =
      start_process(argv, "", {"VEXLOR_PROG=" + paths.prog}, child_output::discarded);
  wait_for_exit(station, run_limit_s);
  station_run result;
  result.own_cpu_s = thread_cpu_s(station.pid);
  result.run = wait_process(station, run_limit_s);
  result.intact = intact_boards(sims, dir, image, skip_same);
  std::filesystem::remove_all(ports);
  return result;
}

}  // namespace

station_cost measure_station_cost(const bench_paths& paths, uint32_t baud,
                                  const std::string& image_path, int boards, int runs) {
  station_cost cost;
  cost.boards = boards;
  const std::string dir = make_test_dir();
  const std::vector<uint8_t> image = read_file(image_path);
  std::vector<double> direct_wall, station_wall, station_cpu, share, runs_cpu, skip_same_wall;
  for (int i = 0; i < runs; ++i) {
    int direct_intact = 0;
    direct_wall.push_back(flash_at_once(paths, baud, image_path, boards, direct_intact));

    const station_run plain =
        flash_through_station(paths, baud, image_path, image, boards, dir, false);
    station_wall.push_back(plain.run.seconds);
    station_cpu.push_back(plain.own_cpu_s);
    share.push_back(plain.run.seconds > 0 ? plain.own_cpu_s / plain.run.seconds : 1);
    runs_cpu.push_back(plain.run.cpu_s - plain.own_cpu_s);
    cost.every_exit_ok = cost.every_exit_ok && plain.run.exit_code == 0;
    cost.intact += plain.intact;

    // Taking turns with the plain runs, so that the machine's load falls on
    // both alike.
    const station_run checked =
        flash_through_station(paths, baud, image_path, image, boards, dir, true);
    skip_same_wall.push_back(checked.run.seconds);
    cost.every_exit_ok = cost.every_exit_ok && checked.run.exit_code == 0;
    cost.skip_same_intact += checked.intact;
  }
  cost.skip_same_wall_s = median_of(skip_same_wall);
  cost.direct_wall_s = median_of(direct_wall);
  cost.station_wall_s = median_of(station_wall);
  cost.station_cpu_s = median_of(station_cpu);
  cost.station_share = median_of(share);
  cost.runs_cpu_s = median_of(runs_cpu);

  // A station waiting for boards that do not come, in a folder of its own.
  std::filesystem::create_directory(dir + "/idle");
  child_process idle =
      start_process({paths.station, "--watch", "--ports-dir", dir + "/idle", "--write", image_path},
                    "", {"VEXLOR_PROG=" + paths.prog}, child_output::discarded);
  const auto idle_start = test_clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(idle_watch_s));
  cost.idle_cpu_s = thread_cpu_s(idle.pid);
  cost.idle_s = seconds_since(idle_start);
  stop_process(idle);
  std::filesystem::remove_all(dir);
  return cost;
}
