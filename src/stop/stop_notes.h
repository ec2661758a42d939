// What both platforms' catching of stop requests shares: the notes a
// request leaves, which the accessors of stop_requests.h read. Taken from a
// signal handler or a console handler's thread: lock-free atomics only.
#pragma once

// Notes a request with `signal`: true for the first, false for a later
// one, after which the caller ends the process if it is to (the hook of
// stop_before_dying run first: run_dying_hook).
bool note_stop_request(int signal);

// Counts a request that the process lives through, as the latest.
void count_stop_request(int signal);

void run_dying_hook();
