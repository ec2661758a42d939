// How a Windows wait hears of stop requests.
#pragma once

// Called on the console handler's thread at each request, after it has been
// counted: a waiter that does not wait on handles (an I/O completion port)
// wakes itself with it. nullptr removes it.
void stop_on_each_request(void (*wake)());
