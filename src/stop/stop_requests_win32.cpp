// Windows: the console's events (Ctrl-C, Ctrl-Break)
// come to a handler on a thread of its own, which notes them and sets an
// event that waits can watch among their handles.
#include <atomic>

#include "stop/stop_requests.h"
#include "stop/stop_wait_win32.h"

namespace {

std::atomic<int> first_signal{0};
std::atomic<int> latest_signal{0};
std::atomic<unsigned> request_count{0};
std::atomic<void (*)()> each_request_hook{nullptr};
std::atomic<void (*)()> dying_hook{nullptr};
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
  int none = 0;
  const bool first = first_signal.compare_exchange_strong(none, signal);
  if (!first && second_ends_process) {
    // The default handler ends the process.
    if (auto hook = dying_hook.load()) hook();
    return FALSE;
  }
  latest_signal = signal;
  ++request_count;
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

int stop_signal() { return first_signal.load(); }

int stop_exit_status() {
  const int signal = stop_signal();
  return signal == 0 ? 0 : 128 + signal;
}

unsigned stop_request_count() { return request_count.load(); }

int stop_latest_signal() { return latest_signal.load(); }

void stop_before_dying(void (*hook)()) { dying_hook = hook; }

HANDLE stop_wait_event() { return stopped_event; }

void stop_on_each_request(void (*wake)()) { each_request_hook = wake; }
