// One programming run from the banner to the final line.
#pragma once

#include <string>
#include <vector>

// Returns the process exit status: 0 when the run ends without errors, 1
// when it ends with an error, so scripts can tell a failed flash; 2 for a
// command line the run did not begin with; 128 + N when signal N stopped
// it.
int run(const std::vector<std::string>& words);
