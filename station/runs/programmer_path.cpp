#include "runs/programmer_path.h"

#include <cstdlib>

#include "runs/host.h"

std::string find_programmer(std::string& why) {
  const char* chosen = std::getenv("VEXLOR_PROG");
  if (chosen != nullptr && *chosen != '\0') {
    if (is_executable(chosen)) return chosen;
    why = std::string("VEXLOR_PROG=") + chosen + " is not a program that can be run";
    return {};
  }
  const std::string folder = own_folder();
  if (!folder.empty()) {
    const std::string beside = folder + "/" + programmer_file_name();
    if (is_executable(beside)) return beside;
  }
  std::string on_path = find_on_path(programmer_file_name());
  if (on_path.empty()) {
    why = programmer_file_name() +
          " is neither beside this program nor on PATH; set VEXLOR_PROG "
          "to its path";
  }
  return on_path;
}
