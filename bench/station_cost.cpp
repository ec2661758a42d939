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

}  // namespace

station_cost measure_station_cost(const bench_paths& paths, uint32_t baud,
                                  const std::string& image_path, int boards, int runs) {
  station_cost cost;
  cost.boards = boards;
  const std::string dir = make_test_dir();
  const std::vector<uint8_t> image = read_file(image_path);
  std::vector<double> direct_wall, station_wall, station_cpu, share, runs_cpu;
  for (int i = 0; i < runs; ++i) {
    int direct_intact = 0;
    direct_wall.push_back(flash_at_once(paths, baud, image_path, boards, direct_intact));

    const std::string ports = dir + "/ports";
    std::filesystem::create_directory(ports);
    std::vector<sim_target> sims = start_boards(paths, baud, image.size(), dir, boards, ports);
    // Not a terminal: the result lines alone, as on a station that logs them.
    child_process station =
        start_process({paths.station, "--ports-dir", ports, "--report", dir + "/report.jsonl",
                       "--write", "--verify", image_path, "--baudrate", std::to_string(baud)},
                      "", {"VEXLOR_PROG=" + paths.prog}, child_output::discarded);
    wait_for_exit(station, run_limit_s);
    const double own_cpu = thread_cpu_s(station.pid);
    // Reaped, its figures count the runs it reaped too.
    const process_result run = wait_process(station, run_limit_s);
    station_wall.push_back(run.seconds);
    station_cpu.push_back(own_cpu);
    share.push_back(run.seconds > 0 ? own_cpu / run.seconds : 1);
    runs_cpu.push_back(run.cpu_s - own_cpu);
    cost.every_exit_ok = cost.every_exit_ok && run.exit_code == 0;
    cost.intact += intact_boards(sims, dir, image);
    std::filesystem::remove_all(ports);
  }
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
