#include <sys/stat.h>

#include <fstream>

#include "serial/device_group.h"

std::string device_group(const std::string& device) {
  struct stat st {};
  if (stat(device.c_str(), &st) != 0 || (st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) {
    return {};
  }
  // Read directly rather than through the name service: the tool is also
  // built statically, and a local device group is named in this file.
  std::ifstream groups("/etc/group");
  std::string line;
  while (std::getline(groups, line)) {
    const std::size_t first = line.find(':');
    const std::size_t second = line.find(':', first + 1);
    const std::size_t third = line.find(':', second + 1);
    if (third == std::string::npos) continue;
    if (line.compare(second + 1, third - second - 1, std::to_string(st.st_gid)) == 0) {
      return line.substr(0, first);
    }
  }
  return "number " + std::to_string(st.st_gid);
}
