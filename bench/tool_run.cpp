#include "tool_run.h"

#include <vector>

#include "support/simulator.h"

tool_run run_tool(const bench_paths& paths, uint32_t baud, const std::string& image_path,
                  bool write, bool verify, const std::vector<std::string>& sim_extra,
                  const std::vector<std::string>& prog_extra) {
  tool_run run;
  std::vector<std::string> sim_args{"--once", "--max-seconds", "600"};
  sim_args.insert(sim_args.end(), sim_extra.begin(), sim_extra.end());
  if (baud > 0) sim_args.insert(sim_args.end(), {"--baud", std::to_string(baud)});
  sim_target sim = start_simulator(paths.sim, sim_args);
  if (sim.pty_path.empty()) {
    stop_process(sim.process);
    return run;
  }

  // The tool's line speed means nothing to a pty; it is given as a user would.
  std::vector<std::string> argv{paths.prog, "--port", sim.pty_path, "--baudrate",
                                std::to_string(baud > 0 ? baud : 115200)};
  if (write) argv.push_back("--write");
  if (verify) argv.push_back("--verify");
  argv.insert(argv.end(), prog_extra.begin(), prog_extra.end());
  argv.push_back(image_path);
  // Its console goes to /dev/null: reading it here would take turns on the
  // tool's core with the tool itself.
  run.prog = run_process(argv, "", {}, run_limit_s, child_output::discarded);
  // --once: the simulator ends when the tool closes the port.
  run.sim =
      run.prog.exit_code < 0 ? stop_process(sim.process) : wait_process(sim.process, run_limit_s);
  run.ok = run.prog.exit_code == 0;
  return run;
}
