// A pause, with kernel32's Sleep as the programmer's pauses always were: the
// waits of this platform are short (a pause of 100 ms, a read bounded by its
// time-out), so a run sees a stop request within one of them. A file of its
// own, as on POSIX.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "stop/stop_requests.h"

void sleep_ms(unsigned milliseconds) { Sleep(milliseconds); }
