#include "machine.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <fstream>

namespace {

std::string cpu_model() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("model name", 0) != 0) continue;
    const auto colon = line.find(':');
    if (colon != std::string::npos) return line.substr(line.find_first_not_of(" \t", colon + 1));
  }
  return "unknown CPU";
}

}  // namespace

std::string machine_summary() {
  utsname names{};
  uname(&names);
  return std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores, " + cpu_model() + ", kernel " +
         names.sysname + " " + names.release;
}

std::string load_average() {
  std::ifstream file("/proc/loadavg");
  std::string one, five, fifteen;
  file >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}
