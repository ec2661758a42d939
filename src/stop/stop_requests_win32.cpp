// Windows: the console's events (Ctrl-C, Ctrl-Break)
// come to a handler on a thread of its own, which notes them and wakes a
// waiter that asked to be woken.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <atomic>

#include "stop/stop_notes.h"
#include "stop/stop_requests.h"
#include "stop/stop_wait_win32.h"

namespace {

std::atomic<void (*)()> each_request_hook{nullptr};
bool catching = false;
bool second_ends_process = true;

// The signal each console event stands for elsewhere.
int signal_of(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
      return 2;  // SIGINT
    case CTRL_BREAK_EVENT:
      return 21;  // SIGBREAK
    default:
      return 0;
  }
}

BOOL WINAPI on_console_event(DWORD event) {
  const int signal = signal_of(event);
  if (signal == 0) return FALSE;
  if (!note_stop_request(signal) && second_ends_process) {
    // The default handler ends the process.
    run_dying_hook();
    return FALSE;
  }
  count_stop_request(signal);
  if (auto wake = each_request_hook.load()) wake();
  return TRUE;
}

}  // namespace

void catch_stop_requests(stop_catching how) {
  if (catching) return;
  catching = true;
  second_ends_process = how.second_ends_process;
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

void stop_on_each_request(void (*wake)()) { each_request_hook = wake; }
