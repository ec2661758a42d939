// --watch: the ports folder watched as adapters come and go, without
// polling. One implementation per platform: inotify on Linux
// (ports_watch_linux.cpp); none elsewhere (ports_watch_none.cpp).
#pragma once

#include <string>
#include <vector>

struct ports_watch;  // defined by the platform's file

// Starts watching `folder`; one that does not exist yet is waited for (udev
// makes /dev/serial/by-id only when the first adapter with a serial number
// arrives). nullptr, and why, where the platform cannot watch.
ports_watch* ports_watch_start(const std::string& folder, std::string& why);

// What the wait watches: a descriptor that becomes readable when the folder
// may have changed (POSIX), -1 for none.
int ports_watch_descriptor(const ports_watch* watch);

struct port_change {
  std::string name;  // the entry's name in the folder
  bool present = false;
};

// The entries that came and went since the last call (the first call: every
// entry there is). An entry replaced by another of the same name has gone
// and come back. Never blocks.
std::vector<port_change> ports_watch_changes(ports_watch* watch);

void ports_watch_end(ports_watch* watch);
