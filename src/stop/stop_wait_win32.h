// What a Windows wait watches for stop requests.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

// A manual-reset event, set from the first stop request on: a wait for it
// among other handles ends as soon as a stop is requested. nullptr before
// catch_stop_requests.
HANDLE stop_wait_event();

// Called on the console handler's thread at each request, after it has been
// counted: a waiter that does not wait on handles (an I/O completion port)
// wakes itself with it. nullptr removes it.
void stop_on_each_request(void (*wake)());
