#include "support/simulator.h"

sim_target start_simulator(const std::string& sim_path, const std::vector<std::string>& args,
                           const std::string& cwd) {
  std::vector<std::string> argv = {sim_path};
  argv.insert(argv.end(), args.begin(), args.end());
  sim_target sim;
  sim.process = start_process(argv, cwd);
  sim.pty_path = read_line(sim.process, 5);
  return sim;
}
