#include "station_options.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>

#include "options/options.h"
#include "records/run_record.h"
#include "runs/run_state.h"
#include "text/hex_text.h"
#include "text/whole_number.h"

namespace {

constexpr const char* default_ports_folder = "/dev/serial/by-id";
constexpr int max_jobs = 4096;

bool parse_jobs(const std::string& text, int& jobs) {
  // Four digits at most: "00004" is a slip.
  return text.size() <= 4 && parse_whole_unsigned(text, jobs) && jobs >= 1 && jobs <= max_jobs;
}

// What reading the command line keeps besides the settings.
struct reading {
  station_settings& settings;
  bool ports_folder_given = false;
  std::vector<std::string> given;  // the options read, by name
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

// Digits alone in `base`, the whole text, at most `highest`.
bool parse_whole_number(std::string_view text, int base, uint64_t highest, uint64_t& number) {
  return parse_whole_unsigned(text, number, base) && number <= highest;
}

// The highest serial number both databases hold: 2^63 - 2.
constexpr uint64_t highest_serial = std::numeric_limits<int64_t>::max() - 1;

bool set_history_board_id(reading& r, const std::string& value, std::string& why) {
  std::vector<uint8_t> bytes;
  if (hex_bytes(value, bytes)) {
    r.settings.history_board_id = value;
    return true;
  }
  why = "--board-id takes the board's id as vexlor-prog shows it (hex digits, two a byte), not \"" +
        value + "\"";
  return false;
}

bool set_history_serial(reading& r, const std::string& value, std::string& why) {
  uint64_t number = 0;
  if (parse_whole_number(value, 10, highest_serial, number)) {
    r.settings.history_serial = number;
    return true;
  }
  why = "--serial takes a serial number, decimal, not \"" + value + "\"";
  return false;
}

bool set_time(const char* name, std::optional<std::string>& time, bool end_of_day,
              const std::string& value, std::string& why) {
  std::string utc;
  if (parse_record_time(value, end_of_day, utc, why)) {
    time = utc;
    return true;
  }
  why = std::string(name) + " " + why;
  return false;
}

bool set_since(reading& r, const std::string& value, std::string& why) {
  return set_time("--since", r.settings.since, false, value, why);
}

// A date alone is the whole of that day.
bool set_until(reading& r, const std::string& value, std::string& why) {
  return set_time("--until", r.settings.until, true, value, why);
}

bool set_image_prefix(reading& r, const std::string& value, std::string& why) {
  const bool hex =
      value.size() <= 64 && value.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
  if (hex) {
    r.settings.image_prefix = value;
    return true;
  }
  why = "--image takes the start of an image's SHA-256 (hex digits), not \"" + value + "\"";
  return false;
}

bool set_outcome(reading& r, const std::string& value, std::string& why) {
  for (const run_outcome outcome :
       {run_outcome::ok, run_outcome::unchanged, run_outcome::failed, run_outcome::stopped}) {
    if (value == outcome_name(outcome)) {
      r.settings.outcome = value;
      return true;
    }
  }
  why = "--outcome takes ok, unchanged, failed or stopped, not \"" + value + "\"";
  return false;
}

bool set_pool(reading& r, const std::string& value, std::string&) {
  r.settings.pool = value;
  return true;
}

bool set_release_serial(reading& r, const std::string& value, std::string& why) {
  uint64_t number = 0;
  if (parse_whole_number(value, 10, highest_serial, number)) {
    r.settings.release_serial = number;
    return true;
  }
  why = "--release-serial takes a serial number, decimal, not \"" + value + "\"";
  return false;
}

bool set_summary_by(reading& r, const std::string& value, std::string& why) {
  if (value == "image" || value == "boot-line") {
    r.settings.summary_grouping = value == "image" ? summary_by::image : summary_by::boot_line;
    return true;
  }
  why = "--by takes image or boot-line, not \"" + value + "\"";
  return false;
}

bool set_serial_at(reading& r, const std::string& value, std::string& why) {
  const bool hex = value.starts_with("0x") || value.starts_with("0X");
  uint64_t address = 0;
  if (parse_whole_number(std::string_view(value).substr(hex ? 2 : 0), hex ? 16 : 10,
                         std::numeric_limits<uint32_t>::max(), address)) {
    r.settings.serial_at = static_cast<uint32_t>(address);
    return true;
  }
  why = "--serial-at takes an address, decimal or 0x hex, below 2^32, not \"" + value + "\"";
  return false;
}

bool set_serial_format(reading& r, const std::string& value, std::string& why) {
  if (parse_serial_format(value, r.settings.number_format, why)) return true;
  why = "--serial-format: " + why;
  return false;
}

bool set_serial_first(reading& r, const std::string& value, std::string& why) {
  uint64_t first = 0;
  if (parse_whole_number(value, 10, highest_serial, first)) {
    r.settings.serial_first = first;
    return true;
  }
  why = "--serial-first takes a number from 0 to " + std::to_string(highest_serial) + ", not \"" +
        value + "\"";
  return false;
}

using s = station_settings;
constexpr station_option option_table[] = {
    {"--port", "P",
     "flash port P (repeatable); default: every port in the ports folder; with --history: the "
     "runs of port P",
     nullptr, nullptr, add_port},
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
    {"--db", "DB",
     "keep every board run in DB: an SQLite file, or PostgreSQL (postgresql://... or "
     "host=... dbname=...)",
     nullptr, &s::database},
    {"--db-create", nullptr, "make DB's file and tables where they are not there", &s::db_create},
    {"--spool", "D",
     "keep records DB cannot take in D until it can (default: --log-dir, else vexlor-spool "
     "beside an SQLite DB, else here)",
     nullptr, &s::spool_folder},
    {"--station", "NAME",
     "the station's name in its records (default: the host's); with --history: its runs", nullptr,
     &s::station},
    {"--serial-pool", "NAME", "give each board the next number of pool NAME (needs --db)", nullptr,
     &s::serial_pool},
    {"--serial-at", "ADDRESS", "where its number goes in the image", nullptr, nullptr,
     set_serial_at},
    {"--serial-format", "FORMAT", "u32le, u32be, u64le, u64be or dec:W", nullptr, nullptr,
     set_serial_format},
    {"--serial-first", "N", "start pool NAME at N, where DB has no such pool", nullptr, nullptr,
     set_serial_first},
    {"--release-serial", "N",
     "give back number N of --serial-pool's pool, held by a run that ended unrecorded; flash "
     "nothing",
     nullptr, nullptr, set_release_serial},
    {"--replay", "D", "write the records spooled in D to DB; flash nothing", nullptr,
     &s::replay_folder},
    {"--history", nullptr, "print DB's runs as JSON Lines, oldest first; flash nothing",
     &s::history},
    {"--board-id", "HEX",
     "with --history: one board's runs (without --history, it is vexlor-prog's word)", nullptr,
     nullptr, set_history_board_id},
    {"--serial", "N", "with --history: the runs of serial number N", nullptr, nullptr,
     set_history_serial},
    {"--image", "SHA256", "with --history: the runs of the image whose digest begins so", nullptr,
     nullptr, set_image_prefix},
    {"--outcome", "OUTCOME", "with --history: the runs that ended so", nullptr, nullptr,
     set_outcome},
    {"--pool", "NAME", "with --history: the runs with a number of pool NAME", nullptr, nullptr,
     set_pool},
    {"--csv", nullptr, "with --history: comma-separated values with a header line", &s::csv},
    {"--since", "TIME",
     "with --history or --summary: the runs since TIME (ISO 8601, UTC unless it says: "
     "2026-12-07, 2026-12-07T10:31+01:00)",
     nullptr, nullptr, set_since},
    {"--until", "TIME", "with --history or --summary: the runs before TIME (a date: to its end)",
     nullptr, nullptr, set_until},
    {"--summary", nullptr, "print DB's yield per image; flash nothing", &s::summary},
    {"--by", "WHAT", "with --summary: per image (default) or per boot-line, the board's own",
     nullptr, nullptr, set_summary_by},
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
    // --port among the words has a check of its own; --board-id is
    // vexlor-prog's word there.
    const station_option* option = option_named(word);
    if (option != nullptr && std::string(option->name) != "--port" &&
        std::string(option->name) != "--board-id") {
      return option->name;
    }
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
  } else if (has_word(settings.words, "--save")) {
    why = "--save among vexlor-prog's words: every board would save to the same file";
  } else if (has_word(settings.words, "--monitor") || has_word(settings.words, "--monitor-for")) {
    why =
        "--monitor among vexlor-prog's words: a station's boards are watched through their "
        "records; --expect keeps each board's line in them";
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
  if (settings.list || settings.help || settings.version || settings.history || settings.summary ||
      !settings.replay_folder.empty() || settings.release_serial) {
    return true;
  }
  run_settings& run = settings.run;
  if (!parse_options(settings.words, run, why)) {
    why = "vexlor-prog would refuse its words: " + why;
    return false;
  }
  // The station's own word reaches every run (run_arguments).
  run.allow_empty = run.allow_empty || settings.allow_empty;
  if (run.write || run.verify) return true;
  why =
      "neither --write nor --verify among vexlor-prog's words: the runs would flash nothing, yet "
      "each would count as ok";
  return false;
}

// Whether --history is among the station's options: only then is a
// --board-id before the words the station's own (the board whose runs to
// show); otherwise it is vexlor-prog's, and begins the words.
bool history_asked(const std::vector<std::string>& args) {
  for (std::size_t i = 0; i < args.size() && args[i] != "--"; ++i) {
    const station_option* option = option_named(args[i]);
    if (option == nullptr) return false;
    if (args[i] == "--history") return true;
    if (option->value != nullptr && args[i] == option->name) ++i;  // its value
  }
  return false;
}

// The commands that flash nothing, each with the options it reads; any
// other is refused there rather than quietly left unused.
struct records_command {
  const char* name;
  std::vector<std::string> reads;
};
const records_command records_commands[] = {
    {"--history",
     {"--db", "--history", "--board-id", "--serial", "--since", "--until", "--port", "--image",
      "--outcome", "--pool", "--station", "--csv"}},
    {"--summary", {"--db", "--summary", "--since", "--until", "--by"}},
    {"--replay", {"--db", "--replay", "--db-create"}},
    {"--release-serial", {"--db", "--release-serial", "--serial-pool"}},
};
const std::vector<std::string> serial_options{"--serial-at", "--serial-format", "--serial-first"};

// What the record database's options need of the rest of the command line.
bool check_records(const station_settings& settings, const std::vector<std::string>& given,
                   std::string& why) {
  std::vector<const records_command*> asked;
  for (const records_command& command : records_commands) {
    if (has_word(given, command.name)) asked.push_back(&command);
  }
  const records_command* query = asked.empty() ? nullptr : asked.front();
  const auto not_read = std::find_if(given.begin(), given.end(), [&](const std::string& name) {
    return query != nullptr && !has_word(query->reads, name);
  });
  const auto history_alone = std::find_if(given.begin(), given.end(), [](const std::string& name) {
    return has_word(records_commands[0].reads, name) && name != "--db" && name != "--port" &&
           name != "--station" && name != "--history";
  });
  const auto serial = std::find_if(given.begin(), given.end(), [](const std::string& name) {
    return has_word(serial_options, name);
  });
  if (asked.size() > 1) {
    why = std::string(asked[0]->name) + " and " + asked[1]->name + ": give one or the other";
  } else if (has_word(given, "--by") && !settings.summary) {
    why = "--by chooses what --summary counts by: give --summary";
  } else if (query && settings.database.empty()) {
    why = std::string(query->name) + " works on the record database: give --db";
  } else if (query && !settings.words.empty()) {
    why = std::string(query->name) + " flashes nothing: leave out vexlor-prog's words";
  } else if (query && not_read != given.end()) {
    why = std::string(query->name) + " flashes nothing: leave out " + *not_read;
  } else if (settings.history && settings.ports.size() > 1) {
    why = "--history shows the runs of one port at a time";
  } else if (settings.release_serial && settings.serial_pool.empty()) {
    why = "--release-serial gives a number back to its pool: give --serial-pool";
  } else if (query) {
    return true;
  } else if (history_alone != given.end() && *history_alone != "--since" &&
             *history_alone != "--until") {
    why = *history_alone + " chooses the runs --history shows: give --history";
  } else if (history_alone != given.end()) {
    why = *history_alone + " chooses the runs --history or --summary shows: give one of them";
  } else if (settings.database.empty() && (settings.db_create || !settings.spool_folder.empty())) {
    why = std::string(settings.db_create ? "--db-create" : "--spool") +
          " belongs to the record database: give --db";
  } else if (settings.serial_pool.empty() && serial != given.end()) {
    why = *serial + " belongs to a serial pool: give --serial-pool";
  } else if (settings.serial_pool.empty()) {
    return true;
  } else if (settings.database.empty()) {
    why = "--serial-pool keeps its numbers in the record database: give --db";
  } else if (!has_word(given, "--serial-at") || !has_word(given, "--serial-format")) {
    why = "--serial-pool needs --serial-at and --serial-format: where and how each number goes";
  } else if (!has_word(settings.words, "--write")) {
    why = "--serial-pool writes each board's number: give --write among the words";
  } else if (settings.skip_same && !has_word(settings.words, "--board-id")) {
    why =
        "--skip-same with --serial-pool needs --board-id among the words: a board's number, and "
        "so what it should hold, is known by its id";
  } else {
    return true;
  }
  return false;
}

}  // namespace

bool parse_station_options(const std::vector<std::string>& args, const station_environment& env,
                           station_settings& settings, std::string& why) {
  settings = {};
  settings.ports_folder = env.ports_folder.empty() ? default_ports_folder : env.ports_folder;
  settings.log_folder = env.log_folder;
  settings.cache_folder = env.cache_folder;
  reading r{settings};
  const bool history = history_asked(args);
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
    // vexlor-prog's words begin here.
    if (option == nullptr || (std::string(option->name) == "--board-id" && !history)) break;
    r.given.push_back(option->name);
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
         check_words_flash(settings, why) && check_records(settings, r.given, why);
}

std::string station_usage() {
  std::string usage =
      "usage: vexlor-flash-all [OPTIONS] [--] [VEXLOR-PROG WORDS WITHOUT --port]...\n"
      "       vexlor-flash-all --list [--port P] [--ports-dir D]\n"
      "       vexlor-flash-all --db DB --history [--board-id HEX] [--serial N] [--port P] "
      "[--image SHA256] [--outcome OUTCOME] [--pool NAME] [--station NAME] [--since TIME] "
      "[--until TIME] [--csv]\n"
      "       vexlor-flash-all --db DB --summary [--since TIME] [--until TIME] "
      "[--by image|boot-line]\n"
      "       vexlor-flash-all --db DB [--db-create] --replay D\n"
      "       vexlor-flash-all --db DB --serial-pool NAME --release-serial N\n";
  const auto named = [](const station_option& option) {
    return std::string(option.name) + (option.value ? std::string(" ") + option.value : "");
  };
  std::size_t width = 0;  // the longest, so that the helps line up
  for (const station_option& option : option_table) width = std::max(width, named(option).size());
  for (const station_option& option : option_table) {
    if (option.help == nullptr) continue;
    std::string name = named(option);
    name.resize(width, ' ');
    usage += "  " + name + "  " + option.help + "\n";
  }
  return usage + "  -h, --help, -V, --version\nSee man vexlor-flash-all.\n";
}

std::vector<std::string> run_arguments(const station_settings& settings, const std::string& port,
                                       run_stage stage, const std::vector<std::string>& patch) {
  // The station's words first: after the user's, a "--" among them would
  // make them image paths.
  std::vector<std::string> args{"--port", port, "--json"};
  if (settings.allow_empty) args.push_back("--allow-empty");
  if (stage == run_stage::flash && settings.run.board_id && !settings.cache_folder.empty()) {
    args.insert(args.end(), {"--cache", settings.cache_folder});
  }
  if (stage == run_stage::read_back) args.push_back("--verify-until-differ");
  args.insert(args.end(), patch.begin(), patch.end());
  // The user's words, option by option, each with its value, which is never
  // taken for an option of its own.
  const std::vector<std::string>& words = settings.words;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word == "--") {
      args.insert(args.end(), words.begin() + static_cast<std::ptrdiff_t>(i), words.end());
      break;
    }
    const bool has_value = option_takes_value(word) && i + 1 < words.size();
    // The runs before the flash write nothing, so keep nothing either.
    const bool writes_only = word == "--write" || word == "--keep-unwritten" ||
                             word == "--changed-only" || word == "--verify-all";
    // The identifying run lets the board go with its old firmware: its
    // start is no check of the image.
    const bool checks_start =
        word == "--expect" || word == "--expect-within" || word == "--app-baud";
    const bool leaves_out = (stage != run_stage::flash && writes_only) ||
                            (stage == run_stage::identify && (word == "--verify" || checks_start));
    if (!leaves_out) {
      args.push_back(word);
      if (has_value) args.push_back(words[i + 1]);
    }
    if (has_value) ++i;
  }
  return args;
}

run_stage first_stage(const station_settings& settings) {
  if (!settings.serial_pool.empty() && has_word(settings.words, "--board-id")) {
    return run_stage::identify;
  }
  return settings.skip_same ? run_stage::read_back : run_stage::flash;
}
