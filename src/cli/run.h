// One programming run from the banner to the final line.
#pragma once

#include <string>
#include <vector>

// Returns the process exit status: 0 when the run ends without errors, 1
// when it ends with an error, so scripts can tell a failed flash.
int run(const std::vector<std::string>& words);
