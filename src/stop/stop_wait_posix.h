// What a POSIX wait watches for stop requests.
#pragma once

// A descriptor that is readable from the first stop request on: a wait
// that polls it with its own descriptors ends as soon as a stop is
// requested. Each request adds a byte; a waiter that hands every request on
// reads them away (stop_take_wakes) and asks stop_take_new_request.
// -1 before catch_stop_requests.
int stop_wait_descriptor();

// Reads away the wake-ups of the requests so far, so that the descriptor
// waits for the next one.
void stop_take_wakes();
