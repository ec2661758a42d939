#include "records/junit_report.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>

#include "text/visible_text.h"

namespace {

constexpr const char* replacement = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// The length of the character at `at` when XML 1.0 allows it (tab, line
// feed and carriage return the only controls), or 0.
std::size_t xml_character_length(const std::string& text, std::size_t at) {
  const auto character = utf8_character_at(text, at);
  if (!character) return 0;
  const uint32_t code = character->code;
  const bool allowed = code >= 0x20 ? code != 0xFFFE && code != 0xFFFF
                                    : code == '\t' || code == '\n' || code == '\r';
  return allowed ? character->length : 0;
}

std::string attribute(const char* name, const std::string& value) {
  return std::string(" ") + name + "=\"" + xml_escaped(value) + "\"";
}

std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", seconds);
  return text;
}

// `output`: the case's system-out, lines of text; empty: none.
std::string testcase(const std::string& name, const std::string& classname, double seconds,
                     const std::string& failure, const std::vector<std::string>& output = {}) {
  std::string xml = "  <testcase" + attribute("name", name) + attribute("classname", classname) +
                    attribute("time", seconds_text(seconds));
  if (failure.empty() && output.empty()) return xml + "/>\n";
  xml += ">\n";
  if (!failure.empty()) {
    xml += "    <failure" + attribute("message", failure) + ">" + xml_escaped(failure) +
           "</failure>\n";
  }
  if (!output.empty()) {
    std::string text;
    for (const std::string& line : output) text += line + "\n";
    xml += "    <system-out>" + xml_escaped(text) + "</system-out>\n";
  }
  return xml + "  </testcase>\n";
}

// Why a run failed: its phase and reason; a stopped run's message begins
// with "stopped", as the run's own reason does. Empty for a run that
// succeeded, which has no reason.
std::string failure_message(const run_record& run) {
  if (!run.reason) return {};
  const std::string& reason = *run.reason;
  if (run.outcome == "stopped") {
    return reason.starts_with("stopped") ? reason : "stopped: " + reason;
  }
  return run.phase ? *run.phase + ": " + reason : reason;
}

std::string case_name(junit_record& record, const std::string& port) {
  const std::size_t cases = ++record.cases_of_port[port];
  return cases == 1 ? port : port + " #" + std::to_string(cases);
}

std::string classname(const std::optional<usb_identity>& identity) {
  return identity ? identity_text(identity) : "serial";
}

// What stands at the name or what failed, as the station's message says it.
std::string failure_words(const file_failure& failure, const std::string& path) {
  switch (failure.step) {
    case file_step::place:
      return path + " is " + failure.words;
    case file_step::make:
      return "cannot make a file in " + folder_of(path) + ": " + failure.words;
    case file_step::rename:
    case file_step::exists:
      return "cannot give " + path + " its name: " + failure.words;
    case file_step::write:
      break;
  }
  return failure.words;
}

// The test cases kept so far, copied into the document.
bool copy_cases(const junit_record& record, whole_file& out, file_failure& failure) {
  std::string why;
  uint64_t size = 0;
  std::string chunk;
  bool read = file_size(*record.cases, size, why);
  for (uint64_t at = 0; read && at < size; at += chunk.size()) {
    chunk.resize(static_cast<std::size_t>(std::min<uint64_t>(size - at, 64 * 1024)));
    read = read_at(*record.cases, at, chunk.data(), chunk.size(), why);
    if (read && !whole_file_write(out, chunk, failure)) return false;
  }
  if (!read) failure = {file_step::write, "the test cases so far cannot be read: " + why};
  return read;
}

}  // namespace

std::string xml_escaped(const std::string& text) {
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = xml_character_length(text, at);
    if (length == 0) {
      out += replacement;
      ++at;
      continue;
    }
    switch (text[at]) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      // Kept as they are in an attribute too, where a parser would turn
      // them into spaces.
      case '\t':
        out += "&#9;";
        break;
      case '\n':
        out += "&#10;";
        break;
      case '\r':
        out += "&#13;";
        break;
      default:
        out.append(text, at, length);
    }
    at += length;
  }
  return out;
}

bool junit_open(const std::string& path, junit_record& record, std::string& why) {
  file_failure failure;
  if (!whole_file_place_of(path, record.place, failure)) {
    why = failure_words(failure, path);
    return false;
  }
  // Beside the file, so that a folder where it cannot be made is found out
  // now; a FIFO's or a terminal's folder (/dev) is no place for it.
  const std::string folder = record.place.straight ? std::filesystem::temp_directory_path().string()
                                                   : folder_of(record.place.path);
  std::string made;
  record.cases = create_fresh_file(folder, "vexlor-flash-all-cases", true, made, why);
  if (record.cases == nullptr) why = "cannot make a file in " + folder + ": " + why;
  return record.cases != nullptr;
}

void junit_add(junit_record& record, const run_record& run, const std::string& record_waits) {
  std::string failure = failure_message(run);
  if (!record_waits.empty()) failure += (failure.empty() ? "" : "; ") + record_waits;
  ++record.tests;
  if (!failure.empty()) ++record.failures;
  // --expect: the board's own last lines, what it said as it started.
  const std::string xml = testcase(case_name(record, run.port), classname(run.identity),
                                   run.seconds, failure, run.board_lines);
  std::string why;
  if (record.lost.empty() && !write_all(*record.cases, xml, why)) record.lost = why;
}

bool junit_finish(junit_record& record, const std::vector<station_port>& not_run,
                  std::chrono::system_clock::time_point start, double seconds,
                  const std::string& host, std::string& why) {
  std::string tail;
  for (const station_port& port : not_run) {
    tail += testcase(case_name(record, port.name), classname(port.identity), 0,
                     "stopped before its run began");
  }
  tail += "</testsuite>\n";
  const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuite" +
                           attribute("name", "vexlor-flash-all") +
                           attribute("tests", std::to_string(record.tests + not_run.size())) +
                           attribute("failures", std::to_string(record.failures + not_run.size())) +
                           attribute("errors", "0") + attribute("time", seconds_text(seconds)) +
                           attribute("timestamp", utc_text(start)) + attribute("hostname", host) +
                           ">\n";
  const bool cases_whole = record.lost.empty();
  if (!cases_whole) why = "a test case could not be kept: " + record.lost;
  whole_file out;
  file_failure failure;
  bool complete = cases_whole && whole_file_begin(record.place, out, failure);
  if (out.file != nullptr) {
    complete = complete && whole_file_write(out, head, failure) &&
               copy_cases(record, out, failure) && whole_file_write(out, tail, failure);
    complete = whole_file_end(out, complete, true, failure) && complete;
  }
  if (cases_whole && !complete) why = failure_words(failure, record.place.path);
  junit_close(record);
  return complete;
}

void junit_close(junit_record& record) { let_go(record.cases); }
