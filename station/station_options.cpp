#include "station_options.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <utility>

#include "cli/options.h"

namespace {

constexpr const char* default_ports_folder = "/dev/serial/by-id";
constexpr int max_jobs = 4096;
constexpr const char* valued_options[] = {"--port",   "--ports-dir", "--jobs",
                                          "--report", "--junit",     "--log-dir"};
// The options without a value, and what each sets.
constexpr std::pair<const char*, bool station_settings::*> switches[] = {
    {"--list", &station_settings::list},
    {"--skip-same", &station_settings::skip_same},
    {"--watch", &station_settings::watch},
    {"--help", &station_settings::help},
    {"--version", &station_settings::version}};

bool station_option(const std::string& word) {
  for (const std::string option : valued_options) {
    if (option != "--port" && (word == option || word.starts_with(option + "="))) return true;
  }
  return std::any_of(std::begin(switches), std::end(switches),
                     [&](const auto& flag) { return word == flag.first; });
}

bool has_word(const std::vector<std::string>& words, const std::string& word) {
  return std::find(words.begin(), words.end(), word) != words.end();
}

// "--jobs 4" and "--jobs=4" alike; nullopt when `arg` is not `option`.
// `missing` is set when the option is there but its value is not.
std::optional<std::string> value_of(const std::string& option, const std::vector<std::string>& args,
                                    std::size_t& i, bool& missing) {
  const std::string& arg = args[i];
  if (arg.starts_with(option + "=")) return arg.substr(option.size() + 1);
  if (arg != option) return std::nullopt;
  if (i + 1 >= args.size()) {
    missing = true;
    return std::nullopt;
  }
  return args[++i];
}

bool parse_jobs(const std::string& text, int& jobs) {
  if (text.empty() || text.size() > 4 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  jobs = std::stoi(text);
  return jobs >= 1 && jobs <= max_jobs;
}

// A station option after vexlor-prog's words would reach each run as its
// image path, the last word winning: "--write fw.bin --report r.jsonl" would
// flash r.jsonl. The words after "--" are taken as they are.
std::string misplaced_option(const std::vector<std::string>& words) {
  for (const std::string& word : words) {
    if (station_option(word)) return word.substr(0, word.find('='));
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

// Runs that neither write nor verify flash nothing, yet each would be
// recorded as ok with its image and digest. vexlor-prog's words are read as
// it reads them: "--address --write" writes nothing.
bool check_words_flash(const station_settings& settings, std::string& why) {
  if (settings.list || settings.help || settings.version) return true;
  const run_settings run = parse_options(settings.words);
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
  bool ports_folder_given = false;
  bool words_marked = false;  // "--" ended the options
  std::size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    bool missing = false;
    std::optional<std::string> value;
    if (arg == "--") {
      ++i;
      words_marked = true;
      break;
    } else if ((value = value_of("--port", args, i, missing))) {
      settings.ports.push_back(*value);
    } else if ((value = value_of("--ports-dir", args, i, missing))) {
      settings.ports_folder = *value;
      ports_folder_given = true;
    } else if ((value = value_of("--jobs", args, i, missing))) {
      if (!parse_jobs(*value, settings.jobs)) {
        why = "--jobs takes a number of runs from 1 to " + std::to_string(max_jobs) + ", not \"" +
              *value + "\"";
        return false;
      }
    } else if ((value = value_of("--report", args, i, missing))) {
      settings.report_path = *value;
    } else if ((value = value_of("--junit", args, i, missing))) {
      settings.junit_path = *value;
    } else if ((value = value_of("--log-dir", args, i, missing))) {
      settings.log_folder = *value;
    } else if (missing) {
      why = arg + " needs a value";
      return false;
    } else {
      const auto flag = std::find_if(std::begin(switches), std::end(switches),
                                     [&](const auto& s) { return arg == s.first; });
      if (flag == std::end(switches)) break;
      settings.*(flag->second) = true;
    }
    if (value && value->empty()) {
      why = arg.substr(0, arg.find('=')) + " needs a value that is not empty";
      return false;
    }
  }
  settings.words.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
  return check_together(settings, ports_folder_given, words_marked, why) &&
         check_words_flash(settings, why);
}

std::string station_usage() {
  return "usage: vexlor-flash-all [OPTIONS] [--] [VEXLOR-PROG WORDS WITHOUT --port]...\n"
         "       vexlor-flash-all --list\n"
         "  --port P        flash port P (repeatable); default: every port in the ports folder\n"
         "  --ports-dir D   the ports folder (default $VEXLOR_PORTS_DIR, else /dev/serial/by-id)\n"
         "  --list          list the ports found, their devices and USB identities; flash nothing\n"
         "  --jobs N        at most N runs at once (default: every board at once)\n"
         "  --report FILE   append one JSON line per board run to FILE\n"
         "  --junit FILE    write a JUnit XML report to FILE at the end\n"
         "  --skip-same     read back first; leave a board that holds the image as it is\n"
         "  --log-dir D     keep each run's events as D/NAME.log (default $VEXLOR_LOG_DIR)\n"
         "  --watch         flash each board as its port appears, until SIGINT or SIGTERM\n"
         "  --help, --version\n"
         "See man vexlor-flash-all.\n";
}

std::vector<std::string> run_arguments(const station_settings& settings, const std::string& port,
                                       bool read_back_only) {
  std::vector<std::string> args{"--port", port, "--json"};
  for (const std::string& word : settings.words) {
    if (!read_back_only || word != "--write") args.push_back(word);
  }
  if (read_back_only) args.push_back("--verify");
  return args;
}
