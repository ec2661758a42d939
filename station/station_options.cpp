#include "station_options.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <utility>

#include "cli/options.h"

namespace {

constexpr const char* default_ports_folder = "/dev/serial/by-id";
constexpr int max_jobs = 4096;

bool parse_jobs(const std::string& text, int& jobs) {
  if (text.empty() || text.size() > 4 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  jobs = std::stoi(text);
  return jobs >= 1 && jobs <= max_jobs;
}

// What reading the command line keeps besides the settings.
struct reading {
  station_settings& settings;
  bool ports_folder_given = false;
};

// One row an option: its name, its value's name in the usage text (none
// for a switch), what it does there, and what it sets: a switch its flag,
// a plain value its text, anything else through `apply`, which may refuse
// the value. One table drives the parsing, the check for an option among
// vexlor-prog's words, and --help.
struct station_option {
  const char* name;
  const char* value;  // nullptr: a switch
  const char* help;   // nullptr: named on the last line of --help
  bool station_settings::*flag = nullptr;
  std::string station_settings::*text = nullptr;
  bool (*apply)(reading& r, const std::string& value, std::string& why) = nullptr;
};

bool add_port(reading& r, const std::string& value, std::string&) {
  r.settings.ports.push_back(value);
  return true;
}

bool set_ports_folder(reading& r, const std::string& value, std::string&) {
  r.settings.ports_folder = value;
  r.ports_folder_given = true;
  return true;
}

bool set_jobs(reading& r, const std::string& value, std::string& why) {
  if (parse_jobs(value, r.settings.jobs)) return true;
  why = "--jobs takes a number of runs from 1 to " + std::to_string(max_jobs) + ", not \"" + value +
        "\"";
  return false;
}

using s = station_settings;
constexpr station_option option_table[] = {
    {"--port", "P", "flash port P (repeatable); default: every port in the ports folder", nullptr,
     nullptr, add_port},
    {"--ports-dir", "D", "the ports folder (default $VEXLOR_PORTS_DIR, else /dev/serial/by-id)",
     nullptr, nullptr, set_ports_folder},
    {"--list", nullptr, "list the ports found, their devices and USB identities; flash nothing",
     &s::list},
    {"--jobs", "N", "at most N runs at once (default: every board at once)", nullptr, nullptr,
     set_jobs},
    {"--report", "FILE", "append one JSON line per board run to FILE", nullptr, &s::report_path},
    {"--junit", "FILE", "write a JUnit XML report to FILE at the end", nullptr, &s::junit_path},
    {"--skip-same", nullptr, "read back first; leave a board that holds the image as it is",
     &s::skip_same},
    {"--allow-empty", nullptr, "flash an empty image (refused by default: a truncated build)",
     &s::allow_empty},
    {"--log-dir", "D", "keep each run's events as D/NAME.log (default $VEXLOR_LOG_DIR)", nullptr,
     &s::log_folder},
    {"--watch", nullptr, "flash each board as its port appears, until SIGINT or SIGTERM",
     &s::watch},
    {"--help", nullptr, nullptr, &s::help},
    {"-h", nullptr, nullptr, &s::help},
    {"--version", nullptr, nullptr, &s::version},
    {"-V", nullptr, nullptr, &s::version},
};

// The option `word` names, as "--jobs" or "--jobs=4" (a valued option);
// nullptr for any other word.
const station_option* option_named(const std::string& word) {
  for (const station_option& option : option_table) {
    if (word == option.name) return &option;
    if (option.value != nullptr && word.starts_with(std::string(option.name) + "=")) return &option;
  }
  return nullptr;
}

bool has_word(const std::vector<std::string>& words, const std::string& word) {
  return std::find(words.begin(), words.end(), word) != words.end();
}

// A station option after vexlor-prog's words would reach each run as its
// image path, the last word winning: "--write fw.bin --report r.jsonl" would
// flash r.jsonl. The words after "--" are taken as they are.
std::string misplaced_option(const std::vector<std::string>& words) {
  for (const std::string& word : words) {
    // --port among the words has a check of its own.
    const station_option* option = option_named(word);
    if (option != nullptr && std::string(option->name) != "--port") return option->name;
  }
  return {};
}

// What no command line may combine, once it has been read.
bool check_together(const station_settings& settings, bool ports_folder_given, bool words_marked,
                    std::string& why) {
  const std::string misplaced = words_marked ? "" : misplaced_option(settings.words);
  if (!misplaced.empty()) {
    why = misplaced + " after vexlor-prog's words: the station's options come first";
  } else if (has_word(settings.words, "--port")) {
    why =
        "--port among vexlor-prog's words: each run gets its own port; name the ports with the "
        "station's --port, before the words";
  } else if (!settings.ports.empty() && ports_folder_given) {
    why = "--port and --ports-dir: give one or the other";
  } else if (settings.watch && !settings.ports.empty()) {
    why = "--watch flashes the ports that appear in the ports folder: leave out --port";
  } else if (settings.list && !settings.words.empty()) {
    why = "--list flashes nothing: leave out vexlor-prog's words";
  } else if (settings.skip_same && !has_word(settings.words, "--write")) {
    why = "--skip-same leaves out a write that is not asked for: give --write among the words";
  } else {
    for (std::size_t i = 0; i < settings.ports.size(); ++i) {
      if (std::count(settings.ports.begin(), settings.ports.begin() + i, settings.ports[i]) > 0) {
        why = "port " + settings.ports[i] + " given twice";
        return false;
      }
    }
    return true;
  }
  return false;
}

// vexlor-prog's words, read as it reads them: a command line every run
// would refuse is refused once, before any board is touched; and runs that
// neither write nor verify flash nothing, yet each would be recorded as ok
// with its image and digest ("--address --write" writes nothing).
bool check_words_flash(station_settings& settings, std::string& why) {
  if (settings.list || settings.help || settings.version) return true;
  run_settings& run = settings.run;
  if (!parse_options(settings.words, run, why)) {
    why = "vexlor-prog would refuse its words: " + why;
    return false;
  }
  if (run.write || run.verify) return true;
  why =
      "neither --write nor --verify among vexlor-prog's words: the runs would flash nothing, yet "
      "each would count as ok";
  return false;
}

}  // namespace

bool parse_station_options(const std::vector<std::string>& args, const station_environment& env,
                           station_settings& settings, std::string& why) {
  settings = {};
  settings.ports_folder = env.ports_folder.empty() ? default_ports_folder : env.ports_folder;
  settings.log_folder = env.log_folder;
  reading r{settings};
  bool words_marked = false;  // "--" ended the options
  std::size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      ++i;
      words_marked = true;
      break;
    }
    const station_option* option = option_named(arg);
    if (option == nullptr) break;  // vexlor-prog's words begin here
    std::string value;
    if (option->value != nullptr) {
      // "--jobs 4" and "--jobs=4" alike.
      if (arg != option->name) {
        value = arg.substr(arg.find('=') + 1);
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        why = arg + " needs a value";
        return false;
      }
      if (value.empty()) {
        why = std::string(option->name) + " needs a value that is not empty";
        return false;
      }
    }
    if (option->flag != nullptr) {
      settings.*(option->flag) = true;
    } else if (option->text != nullptr) {
      settings.*(option->text) = value;
    } else if (!option->apply(r, value, why)) {
      return false;
    }
  }
  settings.words.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
  return check_together(settings, r.ports_folder_given, words_marked, why) &&
         check_words_flash(settings, why);
}

std::string station_usage() {
  std::string usage =
      "usage: vexlor-flash-all [OPTIONS] [--] [VEXLOR-PROG WORDS WITHOUT --port]...\n"
      "       vexlor-flash-all --list\n";
  for (const station_option& option : option_table) {
    if (option.help == nullptr) continue;
    std::string name =
        std::string(option.name) + (option.value ? std::string(" ") + option.value : "");
    name.resize(std::max<std::size_t>(name.size(), 14), ' ');
    usage += "  " + name + "  " + option.help + "\n";
  }
  return usage + "  -h, --help, -V, --version\nSee man vexlor-flash-all.\n";
}

std::vector<std::string> run_arguments(const station_settings& settings, const std::string& port,
                                       bool read_back_only) {
  std::vector<std::string> args{"--port", port, "--json"};
  for (const std::string& word : settings.words) {
    if (!read_back_only || word != "--write") args.push_back(word);
  }
  if (read_back_only) args.push_back("--verify-until-differ");
  return args;
}
