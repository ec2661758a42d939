// The programmer's --json output, read line by line as a script reads it.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

// Every line parsed as one JSON object; throws (failing the test) at the
// first line that is not one.
inline std::vector<nlohmann::json> json_lines(const std::string& output) {
  std::vector<nlohmann::json> lines;
  std::size_t start = 0;
  while (start < output.size()) {
    std::size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    nlohmann::json line = nlohmann::json::parse(output.substr(start, end - start));
    if (!line.is_object()) throw std::runtime_error("not an object: " + line.dump());
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}
