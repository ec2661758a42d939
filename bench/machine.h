// What the figures were measured on.
#pragma once

#include <string>

// "N cores, CPU model, kernel release".
std::string machine_summary();
