// --junit: the station's runs as JUnit XML, which CI systems and test
// trackers read: one testsuite named vexlor-flash-all, one testcase per run.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "board_run.h"

// The whole document. `not_run`: boards whose run a stop request kept from
// beginning; each is a failed testcase whose message begins with "stopped".
std::string junit_xml(const std::vector<board_run>& runs, const std::vector<station_port>& not_run,
                      std::chrono::system_clock::time_point start, double seconds,
                      const std::string& host);

// Text for an XML attribute or element: markup characters as references,
// bytes that are not UTF-8 and characters XML does not allow as U+FFFD.
std::string xml_escaped(const std::string& text);

// Writes `text` to `path` whole or not at all (a file beside it, renamed
// over it), so that a reader never finds half a report.
bool write_whole_file(const std::string& path, const std::string& text, std::string& why);
