// Windows: each run's output comes through a named pipe read with
// overlapped reads, all completing on one I/O completion port; the console's
// Ctrl-C handler posts to the same port. So one wait watches every run, with
// no thread per run and no limit of 64 handles.
#include <windows.h>

#include <string>

#include "runs/children.h"
#include "stop/stop_requests.h"
#include "stop/stop_wait_win32.h"
#include "runs/host.h"

struct child {
  HANDLE process = nullptr;
  HANDLE pipe = nullptr;  // the station's end
  OVERLAPPED overlapped{};
  char buffer[16 * 1024];
};

namespace {

HANDLE completions = nullptr;
constexpr ULONG_PTR stop_key = 1;
// A run ended by child_kill reads as one killed by SIGKILL does elsewhere.
constexpr UINT killed_exit_status = 128 + 9;

HANDLE completion_port() {
  if (completions == nullptr) {
    completions = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  }
  return completions;
}

// Called on the console handler's thread. Every run shares the station's
// console and gets the same event: nothing is passed on.
void wake_for_stop() { PostQueuedCompletionStatus(completion_port(), 0, stop_key, nullptr); }

// The command line that the C runtime of the run splits back into `args`
// exactly: quotes around a word with spaces, backslashes doubled before a
// quote.
std::string quoted_argument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (const char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

// Every run is in one job that ends with the station's last handle to it,
// which no run inherits: a station that dies, however it dies, takes its
// runs along.
HANDLE runs_job() {
  static const HANDLE job = [] {
    const HANDLE made = CreateJobObjectA(nullptr, nullptr);
    if (made != nullptr) {
      JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
      limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
      SetInformationJobObject(made, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }
    return made;
  }();
  return job;
}

// Asks for the next piece of output; false once the run's end of the pipe
// has closed, which it does when it exits.
bool read_next(child& run) {
  run.overlapped = {};
  if (ReadFile(run.pipe, run.buffer, sizeof run.buffer, nullptr, &run.overlapped)) return true;
  return GetLastError() == ERROR_IO_PENDING;
}

// The run's exit status. Its pipe has closed, so it is exiting; the bound
// keeps a run that closed its output and went on from holding the station.
void reap(child& run, activity& happened) {
  if (WaitForSingleObject(run.process, 30000) != WAIT_OBJECT_0) TerminateProcess(run.process, 1);
  DWORD code = 1;
  GetExitCodeProcess(run.process, &code);
  happened.exited.emplace_back(&run, static_cast<int>(code));
}

}  // namespace

void catch_station_stops() {
  completion_port();
  catch_stop_requests({.second_ends_process = false});
  stop_on_each_request(wake_for_stop);
}

child* child_start(const std::string& program, const std::vector<std::string>& args,
                   std::string& why) {
  static unsigned serial = 0;
  const std::string pipe_name = "\\\\.\\pipe\\vexlor-flash-all-" +
                                std::to_string(GetCurrentProcessId()) + "-" +
                                std::to_string(serial++);
  auto* run = new child;
  run->pipe = CreateNamedPipeA(
      pipe_name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, sizeof run->buffer, 0, nullptr);
  if (run->pipe == INVALID_HANDLE_VALUE) {
    why = "no pipe for its output: " + last_system_error();
    delete run;
    return nullptr;
  }
  // The run's handles are inheritable only for as long as it takes to start
  // it: runs are started one at a time, so no run inherits another's pipe
  // (which would keep that pipe open past its run's end).
  SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE output = CreateFileA(pipe_name.c_str(), GENERIC_WRITE, 0, &inherited, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = output;
  startup.hStdError = output;
  std::string command_line = quoted_argument(program);
  for (const std::string& arg : args) {
    command_line += ' ';
    command_line += quoted_argument(arg);
  }
  PROCESS_INFORMATION started{};
  const bool ok = output != INVALID_HANDLE_VALUE &&
                  CreateProcessA(program.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                                 CREATE_SUSPENDED, nullptr, nullptr, &startup, &started);
  if (!ok) why = "cannot start " + program + ": " + last_system_error();
  if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
  if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
  if (!ok) {
    CloseHandle(run->pipe);
    delete run;
    return nullptr;
  }
  // In the job before it runs a single instruction. Where jobs cannot nest
  // (before Windows 8, inside another job) the run goes on without.
  if (runs_job() != nullptr) AssignProcessToJobObject(runs_job(), started.hProcess);
  ResumeThread(started.hThread);
  CloseHandle(started.hThread);
  run->process = started.hProcess;
  CreateIoCompletionPort(run->pipe, completion_port(), reinterpret_cast<ULONG_PTR>(run), 0);
  if (!read_next(*run)) {
    // Ended before its first read was asked for: told at the next wait.
    PostQueuedCompletionStatus(completion_port(), 0, reinterpret_cast<ULONG_PTR>(run), nullptr);
  }
  return run;
}

// The console gave every run the same Ctrl-C as the station.
void child_stop(child*, int) {}

void child_kill(child* run) { TerminateProcess(run->process, killed_exit_status); }

// Handles, not descriptors: a station runs out of neither before its boards.
std::size_t runs_descriptors_allow(int) { return 0; }

void child_release(child* run) {
  CloseHandle(run->pipe);
  CloseHandle(run->process);
  delete run;
}

activity wait_for_activity(const std::vector<child*>&, const ports_watch*, int timeout_ms) {
  activity happened;
  DWORD wait = timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms);
  for (;;) {
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* overlapped = nullptr;
    const BOOL ok = GetQueuedCompletionStatus(completion_port(), &bytes, &key, &overlapped, wait);
    if (!ok && overlapped == nullptr) break;  // nothing more within the wait
    wait = 0;                                 // take whatever else is ready, then return
    if (key == stop_key) continue;            // the wake alone: the supervisor takes the request
    // A read that completed asks for the next; a failed one (the pipe has
    // broken) or a packet without a read (posted by child_start) ends the run.
    child& run = *reinterpret_cast<child*>(key);
    if (ok && overlapped != nullptr) {
      if (bytes > 0) happened.output.emplace_back(&run, std::string(run.buffer, bytes));
      if (read_next(run)) continue;
    }
    reap(run, happened);
  }
  return happened;
}
