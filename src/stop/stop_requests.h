// Stop requests: Ctrl-C, a kill, a terminal that hangs up (Windows: Ctrl-C,
// Ctrl-Break). One room for the programmer, the station and the simulator:
// it catches the requests, holds the exit status they give, names the
// signal, and offers the waits something to watch (stop_wait_posix.h,
// stop_wait_win32.h). One implementation per platform
// (stop_requests_posix.cpp, stop_requests_win32.cpp), chosen by the build.
#pragma once

#include <string>

struct stop_catching {
  // The programmer and the simulator: a second request ends the process at
  // once by the signal's default action (after stop_before_dying's hook).
  // The station: every request is counted and handed on to its runs.
  bool second_ends_process = true;
  // SIGQUIT is a stop request too (the station, whose runs must never be
  // left flashing by a Ctrl-\ that dumps its core).
  bool quit_too = false;
};

// From the first call on, a stop request no longer ends the process: it is
// noted, and every wait that watches for it ends. A request ignored when the
// process started (nohup, a script's background job) stays ignored. A reader
// of standard output that has gone away (a closed pipe) stops nothing.
void catch_stop_requests(stop_catching how = {});

// The signal of the first request: 0 while none came. Windows names its
// console events as the signals they stand for (2 Ctrl-C, 21 Ctrl-Break).
int stop_signal();

// 0 while no stop was requested; otherwise 128 + stop_signal(), the exit
// status that tells which request it was (130 for Ctrl-C).
int stop_exit_status();

inline bool stop_requested() { return stop_signal() != 0; }

// How many requests came so far: a wait that a waiter's own request count
// lags behind is to end, the request to be handed on.
unsigned stop_request_count();

// For a waiter that hands each request on: the signal of the latest request
// when one came since the count `seen` (which it brings up to date), else 0.
int stop_take_new_request(unsigned& seen);

// "stopped by SIGTERM" and the like, for the first request.
std::string stop_reason();

// Sleeps, ending at once when a stop is requested (before or meanwhile; on
// Windows a pause is short and runs its course).
void sleep_ms(unsigned milliseconds);

// Runs just before a second request ends the process (second_ends_process),
// in the signal handler: the hook may only make async-signal-safe calls.
// Puts back what must not outlive the process (a terminal's settings).
// nullptr removes it.
void stop_before_dying(void (*hook)());
