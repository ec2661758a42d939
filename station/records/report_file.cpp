#include "records/report_file.h"

#include <nlohmann/json.hpp>

namespace {

// A record is at most a few hundred KiB (a run's lines are cut at 64 KiB);
// an unfinished line longer than this is no record of a station's, and the
// file is left as it is.
constexpr uint64_t longest_fragment = 1024 * 1024;
constexpr std::size_t scan_step = 4096;

// Where the last line begins: just after the last line break before `size`.
bool last_line_start(const open_file& file, uint64_t size, uint64_t& start, std::string& why) {
  std::string chunk;
  for (uint64_t end = size; end > 0 && size - end < longest_fragment;) {
    const uint64_t begin = end > scan_step ? end - scan_step : 0;
    chunk.resize(end - begin);
    if (!read_at(file, begin, chunk.data(), chunk.size(), why)) return false;
    const std::size_t line_break = chunk.rfind('\n');
    if (line_break != std::string::npos) {
      start = begin + line_break + 1;
      return true;
    }
    end = begin;
  }
  if (size <= longest_fragment) {
    start = 0;
    return true;
  }
  why = "it ends in over 1 MiB without a line break: no report of a station's";
  return false;
}

bool is_report_record(const std::string& line) {
  const nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
  return object.is_object() && object.contains("port") && object.contains("outcome");
}

// The line that ends at `end` (its line break, if any, not counted).
bool line_ending_at(const open_file& file, uint64_t end, uint64_t& start, std::string& line,
                    std::string& why) {
  if (!last_line_start(file, end, start, why)) return false;
  line.assign(end - start, '\0');
  return read_at(file, start, line.data(), line.size(), why);
}

// A report is empty, or its last whole line is a record of a station's:
// anything else (a database, a binary, another program's log) is not
// appended to, let alone mended. A last line without its line break is
// mended: one that is a whole record gets its line break; one cut short
// after a whole record is cut off. Nothing is looked at in what is not a
// regular file, nor where the bytes cannot be read back.
bool mend(report_file& report, std::string& mended, std::string& why) {
  mended.clear();
  open_file& file = *report.file;
  uint64_t size = 0;
  char last = '\n';
  std::string unread;
  if (!is_regular(file) || !file_size(file, size, why) || size == 0 ||
      !read_at(file, size - 1, &last, 1, unread)) {
    return true;
  }
  const std::string no_report =
      "it is no report of a station's: its last line is no record (a JSON object with \"port\" "
      "and \"outcome\")";
  uint64_t start = 0;
  std::string line;
  if (last == '\n') {
    if (!line_ending_at(file, size - 1, start, line, why)) return false;
    if (is_report_record(line)) return true;
    why = no_report;
    return false;
  }
  if (!line_ending_at(file, size, start, line, why)) return false;
  if (is_report_record(line)) {
    if (write_once(file, "\n", why) != 1) return false;
    mended = "the last record of the report " + report.path + " had no line break: one added";
    return true;
  }
  std::string before;
  uint64_t before_start = 0;
  if (start == 0 || !line_ending_at(file, start - 1, before_start, before, why) ||
      !is_report_record(before)) {
    why = no_report;
    return false;
  }
  if (!cut_file(file, start, why)) return false;
  mended = "the report " + report.path + " ended in " + std::to_string(line.size()) +
           " bytes of a record cut short: cut off, so that every line is a whole record";
  return true;
}

// One write of the whole line. One that went in only in part is cut off
// again, so that the file still ends in a whole line.
bool append_whole(open_file& file, const std::string& line, std::string& why) {
  uint64_t before = 0;
  std::string unknown;
  const bool sized = is_regular(file) && file_size(file, before, unknown);
  const long long written = write_once(file, line, why);
  if (written < 0) return false;
  if (static_cast<std::size_t>(written) == line.size()) return true;
  why = "only " + std::to_string(written) + " of its " + std::to_string(line.size()) +
        " bytes went in (a full disk, a quota or a size limit)";
  uint64_t after = 0;
  // Unless something else has written since.
  if (sized && file_size(file, after, unknown) &&
      after == before + static_cast<uint64_t>(written)) {
    cut_file(file, before, unknown);
  }
  return false;
}

}  // namespace

bool report_open(const std::string& path, report_file& report, std::string& mended,
                 std::string& why) {
  report.path = path;
  report.file = open_appending(path, true, why);
  if (report.file == nullptr) return false;
  lock_file(*report.file);
  const bool whole = mend(report, mended, why);
  unlock_file(*report.file);
  return whole;
}

bool report_append(report_file& report, const std::string& line, std::string& mended,
                   std::string& why) {
  open_file& file = *report.file;
  // Other stations on the same report wait while this one mends and writes.
  lock_file(file);
  const bool written = mend(report, mended, why) && append_whole(file, line, why);
  unlock_file(file);
  return written;
}

void report_close(report_file& report) { let_go(report.file); }
