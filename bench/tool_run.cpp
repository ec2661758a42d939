#include "tool_run.h"

#include <signal.h>

#include <vector>

tool_run run_tool(const bench_paths& paths, uint32_t baud, const std::string& image_path, bool write,
                  bool verify, const std::vector<std::string>& sim_extra)
{
  tool_run run;
  std::vector<std::string> sim_args{"--max-seconds", "600"};
  sim_args.insert(sim_args.end(), sim_extra.begin(), sim_extra.end());
  if (baud > 0) sim_args.insert(sim_args.end(), {"--baud", std::to_string(baud)});
  sim_child sim = start_sim(paths.sim, sim_args);
  if (sim.pid < 0) return run;

  // The tool's line speed means nothing to a pty; it is given as a user would.
  std::vector<std::string> argv{paths.prog, "--port", sim.pty_path, "--baudrate",
                                std::to_string(baud > 0 ? baud : 115200)};
  if (write) argv.push_back("--write");
  if (verify) argv.push_back("--verify");
  argv.push_back(image_path);
  run.prog = run_child(argv);
  // --once: the simulator ends when the tool closes the port.
  if (run.prog.exit_code < 0) kill(sim.pid, SIGTERM);
  run.sim = reap_child(sim.pid);
  run.ok = run.prog.exit_code == 0;
  return run;
}
