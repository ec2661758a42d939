#include <string>
#include <vector>

#include "cli/run.h"
#include "stop/stop_requests.h"

int main(int argc, char** argv) {
  // First of all: a Ctrl-C from here on ends the run cleanly, lines and all.
  catch_stop_requests();
  return run(std::vector<std::string>(argv + 1, argv + argc));
}
