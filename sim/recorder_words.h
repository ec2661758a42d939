// The words that make a programmer send its control lines to this
// simulator: the line recorder preloaded into it, and the --lines-from
// socket it tells. vexlor-sim prints them once, for a user or a script to
// put before the programmer's command.
#pragma once

#include <string>

// Where the line recorder that goes with this simulator lies: the build
// tree's for a simulator run from its build tree, else the installed one,
// found from the simulator's own folder as the install lays them out.
std::string line_recorder_path();

// "env LD_PRELOAD=RECORDER VEXLOR_LINES_TO=SOCKET": the socket's path
// absolute where a socket address holds it, so that the programmer may run
// in another folder; each value quoted where a shell would split or expand it.
std::string recorder_words(const std::string& recorder, const std::string& socket);
