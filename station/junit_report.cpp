#include "junit_report.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "cli/visible_text.h"

namespace {

constexpr const char* replacement = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// The length of the UTF-8 character at `at` that XML 1.0 allows (tab, line
// feed and carriage return the only controls), or 0.
std::size_t xml_character_length(const std::string& text, std::size_t at) {
  uint32_t code = 0;
  const std::size_t length = utf8_character(text, at, code);
  const bool allowed = code >= 0x20 ? code != 0xFFFE && code != 0xFFFF
                                    : code == '\t' || code == '\n' || code == '\r';
  return allowed ? length : 0;
}

std::string attribute(const char* name, const std::string& value) {
  return std::string(" ") + name + "=\"" + xml_escaped(value) + "\"";
}

std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", seconds);
  return text;
}

std::string testcase(const std::string& name, const std::string& classname, double seconds,
                     const std::string& failure) {
  std::string xml = "  <testcase" + attribute("name", name) + attribute("classname", classname) +
                    attribute("time", seconds_text(seconds));
  if (failure.empty()) return xml + "/>\n";
  return xml + ">\n    <failure" + attribute("message", failure) + ">" + xml_escaped(failure) +
         "</failure>\n  </testcase>\n";
}

// Why a run failed: its phase and reason; a stopped run's message begins
// with "stopped", as the run's own reason does.
std::string failure_message(const board_run& run) {
  const run_verdict& verdict = run.verdict;
  switch (verdict.outcome) {
    case run_outcome::ok:
    case run_outcome::unchanged:
      return {};
    case run_outcome::stopped:
      return verdict.reason.starts_with("stopped") ? verdict.reason : "stopped: " + verdict.reason;
    case run_outcome::failed:
      break;
  }
  return verdict.phase.empty() ? verdict.reason : verdict.phase + ": " + verdict.reason;
}

std::string classname(const station_port& port) {
  return port.identity ? identity_text(port.identity) : "serial";
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

std::string junit_xml(const std::vector<board_run>& runs, const std::vector<station_port>& not_run,
                      std::chrono::system_clock::time_point start, double seconds,
                      const std::string& host) {
  std::string cases;
  std::size_t failures = not_run.size();
  for (const board_run& run : runs) {
    const std::string failure = failure_message(run);
    if (!failure.empty()) ++failures;
    cases += testcase(run.port.name, classname(run.port), run.seconds, failure);
  }
  for (const station_port& port : not_run) {
    cases += testcase(port.name, classname(port), 0, "stopped before its run began");
  }
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuite" +
         attribute("name", "vexlor-flash-all") +
         attribute("tests", std::to_string(runs.size() + not_run.size())) +
         attribute("failures", std::to_string(failures)) + attribute("errors", "0") +
         attribute("time", seconds_text(seconds)) + attribute("timestamp", utc_text(start)) +
         attribute("hostname", host) + ">\n" + cases + "</testsuite>\n";
}

bool write_whole_file(const std::string& path, const std::string& text, std::string& why) {
  const std::string partial = path + ".partial";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) {
      why = "cannot write " + partial;
      return false;
    }
  }
  std::error_code error;
  std::filesystem::rename(partial, path, error);
  if (error) {
    why = "cannot rename " + partial + " to " + path + ": " + error.message();
    std::filesystem::remove(partial, error);
    return false;
  }
  return true;
}
