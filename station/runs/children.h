// The runs the station supervises: one vexlor-prog process per board, its
// output through a pipe, and the one wait that watches them all, the
// station's own stop requests and the ports folder. One implementation per
// platform (children_posix.cpp, children_win32.cpp), chosen by the build.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "ports/ports_watch.h"

struct child;  // defined by the platform's file

// From the first call on, a stop request (SIGINT, SIGTERM, SIGHUP, SIGQUIT;
// Windows: Ctrl-C, Ctrl-Break) no longer ends the station: the next wait
// reports it.
// A request ignored when the station started (nohup, a script's background
// job) stays ignored, for the station and for its runs.
void catch_station_stops();

// Starts `program` with `args`, its standard output and standard error into
// one pipe and its standard input from the null device. Each run is a
// process group of its own, so a Ctrl-C on the terminal reaches the station
// alone, which passes it on once (a second request would end a run at once,
// without its closing line sequence). A run ends with the station, however
// the station ends: on Linux it gets SIGTERM when the station is gone (its
// own clean stop, with the closing line sequence); on Windows it is in a job
// that ends with the station's last handle. nullptr, and why, when it cannot
// start.
child* child_start(const std::string& program, const std::vector<std::string>& args,
                   std::string& why);

// Passes a stop request on to a run (the signal's number; on Windows the
// console has told every run already, and this does nothing). A run knows
// no SIGQUIT: it gets SIGTERM for it. A run that someone has stopped
// (SIGSTOP) is let go on, to take the request.
void child_stop(child* run, int signal);

// Ends a run at once, whatever it does (SIGKILL to its process group;
// TerminateProcess): for one that has not ended within its time after a
// stop request.
void child_kill(child* run);

// How many runs may go at once before the station would run out of file
// descriptors, each run holding `per_run` of them: the limit (RLIMIT_NOFILE)
// less those open now and a reserve for what the station opens as it goes.
// At least 1; 0 where the platform has no such limit.
std::size_t runs_descriptors_allow(int per_run);

// What happened while the station waited.
struct activity {
  std::vector<std::pair<child*, std::string>> output;  // bytes the runs printed, in order
  std::vector<std::pair<child*, int>> exited;  // exit status; 128 + N when signal N ended it
  bool ports_changed = false;                  // the watched ports folder may have changed
};

// Waits until a run prints or ends, a stop request comes, the ports folder
// changes (`watch`, when given), or `timeout_ms` passes (-1: no bound). A
// run reported as exited has had all of its output reported before, and
// must not be waited for again.
activity wait_for_activity(const std::vector<child*>& running, const ports_watch* watch,
                           int timeout_ms);

// Frees what is left of a run that has exited.
void child_release(child* run);
