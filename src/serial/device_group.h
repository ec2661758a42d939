// Who may open a device, for the reason a port was refused with.
#pragma once

#include <string>

// The group that may read and write `device`, by name where the group file
// has one ("dialout", else "number 20"); empty when no group has that right
// or the system has no such thing.
std::string device_group(const std::string& device);
