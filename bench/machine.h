// What the figures were measured on.
#pragma once

#include <string>

// "N cores, CPU model, kernel release".
std::string machine_summary();

// The first three fields of /proc/loadavg: how busy the shared machine was.
std::string load_average();
