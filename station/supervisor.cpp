#include "supervisor.h"

#include <algorithm>
#include <csignal>
#include <deque>
#include <memory>

#include "board_records.h"
#include "runs/board_run.h"
#include "runs/children.h"
#include "console_view.h"
#include "runs/host.h"
#include "records/junit_report.h"
#include "records/report_file.h"
#include "records/spool.h"
#include "runs/run_log.h"
#include "runs/run_state.h"
#include "stop/stop_requests.h"

namespace {

using wall_clock = std::chrono::system_clock;

// A line longer than this is no event; it is cut there rather than kept
// growing.
constexpr std::size_t longest_line = 64 * 1024;

// After a wake that brought output, the station looks again no sooner than
// this: the runs' lines wait in their pipes meanwhile and one wake takes them
// all, where a wake per line would cost a line of boards more than all the
// rest of the station. The live view is redrawn no faster anyway.
constexpr unsigned batch_interval_ms = 100;

// How long a run has to end after a stop request before it is killed:
// longer than vexlor-prog can take, since the longest wait it may be in
// then is the write of one block (20 ms a byte: 5.2 s), and its closing
// line sequence follows at once.
constexpr auto stop_grace = std::chrono::seconds(10);

struct board {
  std::string run_id = new_run_id();  // its record's: a board flashed again is another run
  station_port port;
  child* run = nullptr;
  run_stage stage = run_stage::flash;   // the run under way
  std::optional<std::string> board_id;  // as its identifying run read it
  std::string refused;  // why the id its flash read is no board's own: the flash is stopped
  std::optional<board_serial> serial;             // --serial-pool: its number
  std::optional<view_clock::time_point> kill_at;  // after a stop request: when it is killed
  bool killed = false;
  bool back_again = false;  // --watch: its port went and came back while it ran
  std::string pending;      // output that is not yet a whole line
  run_progress progress;
  wall_clock::time_point start;
  view_clock::time_point started;
  view_clock::time_point launched;  // its run under way: the read-back, or the write after it
  run_log log;
};

struct station {
  station_setup setup;
  std::string host = host_name();
  std::string name = station_name(setup.settings);
  std::deque<station_port> waiting;
  std::vector<std::unique_ptr<board>> running;
  std::size_t most_at_once = 0;  // runs at a time, by --jobs and the file descriptors; 0: all
  // What the count needs of the runs that ended; nothing else of them is
  // kept, so that a station may run for weeks.
  std::size_t runs_ended = 0;
  std::size_t runs_ok = 0;
  std::size_t runs_stopped = 0;
  std::size_t ok_waiting = 0;         // boards flashed whose records wait in the spool
  std::vector<station_port> not_run;  // a stop request kept their runs from beginning
  console_view view = open_console_view();
  int stop_signal = 0;
  bool stopped_a_run = false;
  bool record_lost = false;     // a report line could not be written
  bool spool_waits = false;     // records may wait in the spool, to be written before the next
  unsigned stops_answered = 0;  // the stop requests taken so far
  // The record database could not be reached: boards wait (--watch) or fail
  // unflashed until it can, asked again no sooner than `retry_at`.
  bool records_down = false;
  view_clock::time_point retry_at;
  wall_clock::time_point start = wall_clock::now();
  view_clock::time_point started = view_clock::now();
};

// How long boards wait for a record database that cannot be reached before
// it is asked again.
constexpr auto records_retry = std::chrono::seconds(5);

void take_stop(station& st, int signal);

// Takes the stop requests that came since the last: before anything new
// begins, and as soon as a database's wait has ended for one.
void answer_stops(station& st) {
  if (const int signal = stop_take_new_request(st.stops_answered)) take_stop(st, signal);
}

double seconds_since(view_clock::time_point start) {
  return std::chrono::duration<double>(view_clock::now() - start).count();
}

// Only a terminal shows it: elsewhere nothing is made.
live_view live_view_of(const station& st) {
  live_view live;
  if (!st.view.terminal) return live;
  const run_settings& words = st.setup.settings.run;
  for (const auto& b : st.running) {
    // The read-back reads and no more; the identifying run neither writes
    // nor verifies.
    const bool checks = b->stage == run_stage::read_back;
    const bool flashes = b->stage == run_stage::flash;
    const bool writes = flashes && words.write;
    const bool verifies = checks || (flashes && words.verify);
    live.boards.push_back({.name = b->port.name,
                           .phase = checks ? "check" : b->progress.phase,
                           .detail = b->progress.detail,
                           .seconds = seconds_since(b->started),
                           .seconds_left = run_seconds_left(b->progress, writes, verifies,
                                                            seconds_since(b->launched))});
  }
  for (const station_port& port : st.waiting) {
    live.boards.push_back({.name = port.name, .waiting = true});
  }
  if (st.setup.watch != nullptr) live.watched_folder = st.setup.settings.ports_folder;
  live.tally = {.ok = st.runs_ok,
                .failed = st.runs_ended - st.runs_ok - st.runs_stopped,
                .stopped = st.runs_stopped,
                .running = st.running.size(),
                .waiting = st.waiting.size()};
  return live;
}

bool stopping(const station& st) { return st.stop_signal != 0; }

// Writes what waits in the spool to the database, oldest first; false while
// any of it cannot be written. Once all of it is in, this station's boards
// whose records waited there are done with.
bool replay_spool(station& st) {
  if (!st.spool_waits) return true;
  std::string why;
  std::size_t waiting = 0;
  const bool replayed = write_spooled(*st.setup.records, st.setup.spool_folder, waiting, why);
  st.spool_waits = !replayed || waiting > 0;
  if (!st.spool_waits) st.runs_ok += std::exchange(st.ok_waiting, 0);
  return replayed;
}

// Keeps the run's record in the database, or, where the database cannot
// take it, in the spool; a record that can go to neither fails its board.
// A number that was no longer the run's fails it too, the record saying why.
void keep_in_database(station& st, board_run& run, run_record& record) {
  record_store& records = *st.setup.records;
  std::string why, spooled_why;
  const auto attempt = [&] {
    // A database lost since (a stop ended a wait, a server restarted) is
    // opened again first.
    return (!store_lost(records) || store_reachable(records, why)) && replay_spool(st) &&
           store_add_run(records, record, why);
  };
  bool kept = attempt();
  // A stop request ended the database's wait: answered, then the record is
  // written once more, with the database's own bound.
  if (!kept && store_interrupted(records)) {
    answer_stops(st);
    kept = attempt();
  }
  if (kept) {
    if (record.outcome != outcome_name(run.verdict.outcome)) {
      run.verdict = {run_outcome::failed, record.phase.value_or(""), record.reason.value_or("")};
      run.serial = record.serial;
    }
    return;
  }
  if (why.empty()) why = "records spooled before it could not be written yet";
  if (spool_keep(st.setup.spool_folder, record, spooled_why)) {
    run.record_spooled = true;
    st.spool_waits = true;
    say_on_stderr("the record of " + run.port.name + " waits in the spool " +
                  st.setup.spool_folder + ": the database could not take it: " + why);
    return;
  }
  st.record_lost = true;
  run.verdict = {run_outcome::failed, "records",
                 "its record could be kept neither in the database (" + why +
                     ") nor in the spool (" + spooled_why + ")"};
  record.outcome = outcome_name(run.verdict.outcome);
  record.phase = run.verdict.phase;
  record.reason = run.verdict.reason;
}

void keep_record(station& st, const board_run& run, const run_record& record) {
  if (st.setup.report != nullptr) {
    std::string mended, why;
    const bool written = report_append(*st.setup.report, report_text(record), mended, why);
    if (!mended.empty()) say_on_stderr(mended);
    if (!written) {
      st.record_lost = true;
      say_on_stderr("the report line of " + run.port.name + " could not be written: " + why);
    }
  }
  if (st.setup.junit != nullptr) {
    junit_add(*st.setup.junit, record,
              run.record_spooled ? "its record waits in the spool " + st.setup.spool_folder +
                                       ": the database could not take it"
                                 : std::string());
  }
  ++st.runs_ended;
  // A board whose record waits is not done with: it is not counted ok.
  if (outcome_is_success(run.verdict.outcome)) ++(run.record_spooled ? st.ok_waiting : st.runs_ok);
  if (run.verdict.outcome == run_outcome::stopped) ++st.runs_stopped;
}

void finish(station& st, board& b, const run_verdict& verdict, std::optional<int> exit_status) {
  const bool same_board = !b.board_id || !b.progress.board_id || b.board_id == b.progress.board_id;
  board_run run{.run_id = b.run_id,
                .port = b.port,
                .end = b.progress.end,
                .start = b.start,
                .end_time = wall_clock::now(),
                .seconds = seconds_since(b.started),
                .exit_status = exit_status,
                .verdict = verdict,
                .log_path = b.log.path,
                .board_id = b.progress.board_id ? b.progress.board_id : b.board_id,
                .serial = settled_serial(b.serial, b.progress, exit_status, same_board),
                .station_image = st.setup.settings.run.image_path,
                .station_sha256 = st.setup.image_sha256,
                .warnings = b.progress.warnings,
                .boot_line = b.progress.boot_line,
                .board_lines = b.progress.board_lines};
  run_log_close(b.log);
  run_record record = record_of_run(run, st.name);
  // Kept before its result line is shown: a line on the screen is a run
  // on record.
  if (st.setup.records != nullptr) keep_in_database(st, run, record);
  keep_record(st, run, record);
  if (b.back_again && !stopping(st)) {
    st.waiting.push_back(folder_port(st.setup.settings.ports_folder, b.port.name));
  }
  std::erase_if(st.running, [&](const auto& other) { return other.get() == &b; });
  view_print(st.view, result_line(run), live_view_of(st));
}

// Starts the board's run (or its read-back); false when it could not start,
// the board then finished with why.
bool launch(station& st, board& b) {
  b.progress = {};
  b.kill_at.reset();
  b.launched = view_clock::now();
  std::string why;
  const std::vector<std::string> patch = b.serial ? b.serial->patch : std::vector<std::string>{};
  b.run = child_start(st.setup.programmer,
                      run_arguments(st.setup.settings, b.port.path, b.stage, patch), why);
  if (b.run != nullptr) return true;
  finish(st, b, {run_outcome::failed, "start", why}, std::nullopt);
  return false;
}

// --serial-pool: takes the board's number before the run that writes it;
// false when none could be had, the board then finished with why.
bool take_serial(station& st, board& b) {
  if (st.setup.settings.serial_pool.empty()) return true;
  // No number is taken after a stop request, nor while one waits its answer.
  answer_stops(st);
  std::string why;
  board_serial serial;
  const serial_holder holder{.run_id = b.run_id,
                             .station = st.name,
                             .host = st.host,
                             .pid = own_process(),
                             .port = b.port.name};
  if (!stopping(st) &&
      take_board_serial(*st.setup.records, st.setup.settings, b.board_id, holder, serial, why)) {
    b.serial = serial;
    return true;
  }
  answer_stops(st);
  if (stopping(st)) {
    finish(st, b, {run_outcome::stopped, "signal", "stopped before its flash began"}, std::nullopt);
  } else {
    finish(st, b, {run_outcome::failed, "serial", why}, std::nullopt);
  }
  return false;
}

// --db: whether the database can be reached before a board is flashed,
// opened again where it was lost (its spool then written to it). Said once
// as it goes and once as it comes back.
bool records_ready(station& st) {
  if (st.setup.records == nullptr) return true;
  if (st.records_down && view_clock::now() < st.retry_at) return false;
  std::string why;
  const bool reached = store_reachable(*st.setup.records, why);
  if (reached && st.records_down) {
    say_on_stderr("the record database can be reached again");
    st.spool_waits = true;
    replay_spool(st);
  } else if (!reached && !st.records_down) {
    say_on_stderr("the record database cannot be reached: " + why +
                  (st.setup.watch != nullptr ? "; boards wait until it can" : ""));
  }
  st.records_down = !reached;
  st.retry_at = view_clock::now() + records_retry;
  return reached;
}

void start_board(station& st, const station_port& port, bool records_ready) {
  const station_settings& settings = st.setup.settings;
  auto b = std::make_unique<board>();
  b->port = port;
  b->stage = first_stage(settings);
  b->start = wall_clock::now();
  b->started = view_clock::now();
  std::string why;
  // Appended: a board flashed again keeps the earlier run's events above.
  // A port that came under --watch may have a log another role's file is.
  const file_role log = log_role(settings, port.name);
  if (!settings.log_folder.empty() &&
      (!role_apart(log, st.setup.roles, why) ||
       !run_log_open(settings.log_folder, port.name, b->log, why))) {
    say_on_stderr(why);
  }
  board& started = *b;
  st.running.push_back(std::move(b));
  if (settings.watch) view_print(st.view, start_line(port.name), live_view_of(st));
  if (!records_ready) {
    finish(st, started, {run_outcome::failed, "records", "the record database cannot be reached"},
           std::nullopt);
  } else if (started.stage == run_stage::identify || take_serial(st, started)) {
    launch(st, started);
  }
}

void start_waiting(station& st) {
  while (!st.waiting.empty() && !stopping(st) &&
         (st.most_at_once == 0 || st.running.size() < st.most_at_once)) {
    // A board is not flashed while its record could not be kept: under
    // --watch it waits for the database, otherwise it fails.
    const bool ready = records_ready(st);
    answer_stops(st);
    if (stopping(st) || (!ready && st.setup.watch != nullptr)) break;
    const station_port port = st.waiting.front();
    st.waiting.pop_front();
    start_board(st, port, ready);
  }
}

board* board_of(station& st, const child* run) {
  for (const auto& b : st.running) {
    if (b->run == run) return b.get();
  }
  return nullptr;
}

board* board_named(station& st, const std::string& name) {
  for (const auto& b : st.running) {
    if (b->port.name == name) return b.get();
  }
  return nullptr;
}

void take_line(board& b, std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();  // a Windows run's line end
  run_log_line(b.log, line);
  take_run_line(b.progress, line);
}

// Why the id a run read is no board's own: one byte repeated, or, for the
// flash of a board whose number was taken by its id, another board's.
std::string id_refusal(const station& st, const board& b) {
  const std::optional<board_id_place>& place = st.setup.settings.run.board_id;
  if (!b.progress.board_id || !place) return {};
  if (const auto why = board_id_not_unique(place->address, *b.progress.board_id)) return *why;
  if (b.board_id && b.board_id != b.progress.board_id) {
    return "the board changed between its id read and its flash";
  }
  return {};
}

// Stops the run at once, the way a stop request does.
void stop_run(board& b) {
  child_stop(b.run, SIGTERM);
  if (!b.kill_at) b.kill_at = view_clock::now() + stop_grace;
}

void take_output(station& st, board& b, const std::string& text) {
  b.pending += text;
  std::size_t start = 0;
  for (std::size_t end; (end = b.pending.find('\n', start)) != std::string::npos; start = end + 1) {
    take_line(b, b.pending.substr(start, end - start));
  }
  b.pending.erase(0, start);
  if (b.pending.size() > longest_line) take_line(b, std::exchange(b.pending, {}));
  st.view.changed = true;
  // The id comes before the erase: a board that is not the one its number
  // was taken for, or has no id of its own, is left unwritten where the
  // stop is in time.
  if (b.refused.empty() && b.stage != run_stage::identify && b.run != nullptr) {
    b.refused = id_refusal(st, b);
    if (!b.refused.empty()) stop_run(b);
  }
}

void take_exit(station& st, board& b, int exit_status) {
  if (!b.pending.empty()) take_line(b, std::exchange(b.pending, {}));
  b.run = nullptr;
  if (!b.log.lost.empty()) say_on_stderr("the log " + b.log.path + " is not whole: " + b.log.lost);
  if (!b.refused.empty()) {
    finish(st, b, {run_outcome::failed, phase_name(run_phase::board_id), b.refused}, exit_status);
    return;
  }
  if (b.killed) {
    const std::string grace = std::to_string(stop_grace.count());
    finish(st, b,
           {run_outcome::stopped, "signal",
            "killed: it did not end within " + grace + " s of the stop request, during the " +
                b.progress.phase},
           exit_status);
    return;
  }
  if (b.stage == run_stage::identify && exit_status == 0 &&
      judge_run(b.progress, 0, false).outcome == run_outcome::ok) {
    if (stopping(st)) {
      finish(st, b, {run_outcome::stopped, "signal", "stopped before its flash began"},
             exit_status);
      return;
    }
    // Its id known, the board takes its number, then the runs the words
    // ask for; an id that is no board's own takes none.
    b.board_id = b.progress.board_id;
    if (const std::string refused = id_refusal(st, b); !refused.empty()) {
      finish(st, b, {run_outcome::failed, phase_name(run_phase::board_id), refused}, exit_status);
      return;
    }
    b.stage = st.setup.settings.skip_same ? run_stage::read_back : run_stage::flash;
    if (take_serial(st, b)) launch(st, b);
    return;
  }
  if (b.stage == run_stage::read_back) {
    if (exit_status == 0 && judge_run(b.progress, 0, false).outcome == run_outcome::ok) {
      finish(st, b, {run_outcome::unchanged, {}, {}}, exit_status);
      return;
    }
    if (read_back_differs(b.progress) && !stopping(st)) {
      b.stage = run_stage::flash;  // now the write the words ask for
      launch(st, b);
      return;
    }
  }
  finish(st, b, judge_run(b.progress, exit_status, b.kill_at.has_value()), exit_status);
}

// The first request stops the station: nothing more begins, and every run is
// asked to end with its closing line sequence, within its time. Each request
// is passed on, so that a second one ends the runs at once.
void take_stop(station& st, int signal) {
  if (!stopping(st)) {
    st.stop_signal = signal;
    st.stopped_a_run = !st.running.empty();
    st.not_run.assign(st.waiting.begin(), st.waiting.end());
    st.waiting.clear();
  }
  for (const auto& b : st.running) {
    if (b->run == nullptr) continue;
    child_stop(b->run, signal);
    if (!b->kill_at) b->kill_at = view_clock::now() + stop_grace;
  }
}

// Kills the runs whose time after a stop request is up (one that ignores
// the request, one that stops itself), and says how long the station may
// wait for the next: -1 for no bound.
int kill_overdue(station& st) {
  int wait_ms = -1;
  const auto now = view_clock::now();
  for (const auto& b : st.running) {
    if (b->run == nullptr || !b->kill_at || b->killed) continue;
    if (*b->kill_at <= now) {
      child_kill(b->run);
      b->killed = true;
      continue;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(*b->kill_at - now).count() + 1;
    wait_ms = wait_ms < 0 ? static_cast<int>(left) : std::min(wait_ms, static_cast<int>(left));
  }
  return wait_ms;
}

// Until the record database is asked again.
int retry_ms(const station& st) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(st.retry_at - view_clock::now());
  return static_cast<int>(std::max<long long>(left.count() + 1, 0));
}

// The shorter of two waits, -1 meaning no bound.
int shorter_wait(int a, int b) { return a < 0 ? b : b < 0 ? a : std::min(a, b); }

// --watch: a port that appears is taken on once; one that goes is no longer
// waited for; one that goes and comes back while its run goes on is taken
// on again after that run.
void take_port_changes(station& st) {
  for (const port_change& change : ports_watch_changes(st.setup.watch)) {
    board* running = board_named(st, change.name);
    const auto waiting = std::find_if(st.waiting.begin(), st.waiting.end(),
                                      [&](const station_port& p) { return p.name == change.name; });
    if (running != nullptr) {
      running->back_again = change.present;
    } else if (!change.present && waiting != st.waiting.end()) {
      st.waiting.erase(waiting);
    } else if (change.present && waiting == st.waiting.end() && !stopping(st)) {
      st.waiting.push_back(folder_port(st.setup.settings.ports_folder, change.name));
    }
  }
}

int exit_status_of(const station& st, std::size_t ok, std::size_t total, bool records_wait) {
  const bool watching = st.setup.watch != nullptr;
  if (stopping(st) && (!watching || st.stopped_a_run)) return 128 + st.stop_signal;
  const bool every_run_ok =
      ok == total && (watching || total > 0) && !st.record_lost && !records_wait;
  return every_run_ok ? 0 : 1;
}

}  // namespace

int supervise(station_setup setup) {
  station st{.setup = setup};
  // A database's wait ends for a stop request the station has not taken yet.
  if (setup.records != nullptr) {
    store_set_interrupt(*setup.records,
                        [&st] { return stop_request_count() != st.stops_answered; });
  }
  // Each run holds its output's pipe, and its log.
  const std::size_t room = runs_descriptors_allow(setup.settings.log_folder.empty() ? 1 : 2);
  const auto jobs = static_cast<std::size_t>(setup.settings.jobs);
  st.most_at_once = jobs == 0 ? room : room == 0 ? jobs : std::min(jobs, room);
  st.waiting.assign(setup.boards.begin(), setup.boards.end());
  st.spool_waits = setup.records != nullptr && !spooled_files(setup.spool_folder).empty();
  if (setup.watch != nullptr) take_port_changes(st);
  // Before the first wait: the boards as they begin, or what an idle --watch
  // waits for.
  start_waiting(st);
  view_refresh(st.view, live_view_of(st));
  for (bool output_came = false;;) {
    start_waiting(st);
    const bool more_to_come = setup.watch != nullptr || !st.waiting.empty();
    if (st.running.empty() && (stopping(st) || !more_to_come)) break;
    if (output_came) sleep_ms(batch_interval_ms);
    std::vector<child*> runs;
    for (const auto& b : st.running) runs.push_back(b->run);
    int wait_ms = shorter_wait(view_wait_ms(st.view, !runs.empty()), kill_overdue(st));
    if (st.records_down && !st.waiting.empty()) wait_ms = shorter_wait(wait_ms, retry_ms(st));
    const activity happened = wait_for_activity(runs, setup.watch, wait_ms);
    // Taken first: no run begins after a stop request.
    answer_stops(st);
    output_came = !happened.output.empty();
    for (const auto& [run, text] : happened.output) {
      if (board* b = board_of(st, run)) take_output(st, *b, text);
    }
    for (const auto& [run, exit_status] : happened.exited) {
      if (board* b = board_of(st, run)) take_exit(st, *b, exit_status);
      child_release(run);
    }
    if (happened.ports_changed) take_port_changes(st);
    view_refresh(st.view, live_view_of(st));
  }

  std::string closing;
  for (const station_port& port : st.not_run) closing += not_run_line(port.name);
  const std::size_t total = st.runs_ended + st.not_run.size();
  closing += count_line(st.runs_ok, total, setup.watch != nullptr);
  // Whichever station spooled them: while a record waits, the day's record
  // is not whole.
  const std::size_t waiting =
      setup.records != nullptr ? spooled_files(setup.spool_folder).size() : 0;
  if (waiting > 0) closing += records_wait_line(waiting, setup.spool_folder);
  view_print(st.view, closing, {});
  std::string why;
  if (setup.junit != nullptr &&
      !junit_finish(*setup.junit, st.not_run, st.start, seconds_since(st.started), st.host, why)) {
    say_on_stderr("the JUnit report " + setup.settings.junit_path +
                  " could not be written: " + why);
    st.record_lost = true;
  }
  if (setup.records != nullptr) store_set_interrupt(*setup.records, {});
  return exit_status_of(st, st.runs_ok, total, waiting > 0);
}
