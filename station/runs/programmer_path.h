// Which vexlor-prog the station runs.
#pragma once

#include <string>

// VEXLOR_PROG when set (callers of the earlier script rely on it), else the
// vexlor-prog beside the station's own executable (the installed pair, or
// the build tree), else the first on PATH. Empty, and why, when none is
// there to run.
std::string find_programmer(std::string& why);
