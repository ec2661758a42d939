// Windows: the console's events (Ctrl-C, Ctrl-Break)
// come to a handler on a thread of its own, which notes them and sets an
// event that waits can watch among their handles.
#include <atomic>

#include "stop/stop_notes.h"
#include "stop/stop_requests.h"
#include "stop/stop_wait_win32.h"

namespace {

std::atomic<void (*)()> each_request_hook{nullptr};
HANDLE stopped_event = nullptr;
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
  SetEvent(stopped_event);
  if (auto wake = each_request_hook.load()) wake();
  return TRUE;
}

}  // namespace

void catch_stop_requests(stop_catching how) {
  if (stopped_event != nullptr) return;
  second_ends_process = how.second_ends_process;
  stopped_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

HANDLE stop_wait_event() { return stopped_event; }

void stop_on_each_request(void (*wake)()) { each_request_hook = wake; }
