#include "ports/port_list.h"

#include <algorithm>
#include <filesystem>

#include "text/visible_text.h"

namespace {

// Quoted so that a string with spaces stays one field; a tab or a line
// break inside would split the line a script reads, so control characters
// are written as \xNN.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  out += visible_text(text, "\"\\");
  return out + "\"";
}

// A serial number as one word: bare where it is plain, quoted otherwise.
std::string word(const std::string& text) {
  const bool plain = text.find_first_of(" \"\\") == std::string::npos && !has_invisible_bytes(text);
  return plain ? text : quoted(text);
}

// A name or a device path on a --list line: a tab or a line break would
// break the line's fields, so such a one is quoted.
std::string field(const std::string& text) {
  return has_invisible_bytes(text) ? quoted(text) : text;
}

}  // namespace

bool is_port_name(const std::string& name) { return !name.empty() && name[0] != '.'; }

std::vector<std::string> port_folder_entries(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (is_port_name(name)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string identity_text(const std::optional<usb_identity>& identity) {
  if (!identity) return "-";
  std::string text = identity->vendor_id + ":" + identity->product_id;
  if (!identity->serial.empty()) text += " serial=" + word(identity->serial);
  text += " usb=" + identity->usb_path;
  for (const std::string* words : {&identity->manufacturer, &identity->product}) {
    text += ' ';
    text += quoted(*words);
  }
  return text;
}

std::string port_list_line(const station_port& port) {
  return field(port.name) + "\t" + field(port.device.empty() ? "-" : port.device) + "\t" +
         identity_text(port.identity);
}
