// Systems without a folder of ports that the system keeps up to date as
// adapters come and go (Windows): no --watch.
#include "ports/ports_watch.h"

ports_watch* ports_watch_start(const std::string&, std::string& why) {
  why =
      "--watch needs a ports folder that the system keeps as adapters come and go (Linux's "
      "/dev/serial/by-id); here, name the ports with --port";
  return nullptr;
}

int ports_watch_descriptor(const ports_watch*) { return -1; }

std::vector<port_change> ports_watch_changes(ports_watch*) { return {}; }

void ports_watch_end(ports_watch*) {}
