// The record store in PostgreSQL: one database for every station of a line,
// and so one pool of serial numbers for them all. Every wait is the
// station's own, on the connection's socket (poll: POSIX; the Windows build
// has no PostgreSQL), so that it has a bound and a stop request ends it: a
// server that stops answering, a lock held by another session, a
// connection that does not come.
#include <libpq-fe.h>
#include <poll.h>

#include <charconv>
#include <chrono>
#include <memory>

#include "records/record_database.h"

struct postgres_database {
  PGconn* connection = nullptr;
  database_waits* waits = nullptr;
  std::string password;  // never shown: taken out of any message that would
};

namespace {

using wait_clock = std::chrono::steady_clock;

// The types the values are sent as (PostgreSQL's own type numbers), so that
// the server need not guess them from where they stand. NULL goes untyped:
// it stands where a column gives its type.
constexpr Oid no_type = 0;
constexpr Oid bigint_type = 20;
constexpr Oid text_type = 25;
constexpr Oid double_type = 701;

// The server's own bounds, set on every connection: a statement, and a
// wait for a lock another session holds, end there with the server's words.
const std::string server_bounds[] = {"SET statement_timeout = " + std::to_string(database_wait_ms),
                                     "SET lock_timeout = " + std::to_string(database_wait_ms)};
// libpq's connect_timeout counts whole seconds.
const std::string connect_seconds = std::to_string(database_wait_ms / 1000);

// The station's own bound on an answer: the server's, and a little more for
// its words to come; a server that is frozen or gone says nothing at all.
constexpr int answer_wait_ms = database_wait_ms + 2000;

// The server's notices ("relation already exists, skipping") are not the
// station's to show.
void ignore_notice(void*, const char*) {}

// libpq's words, on one line, with the password taken out should any
// message ever hold it.
std::string error_of(const postgres_database& database, const char* words) {
  std::string line = one_line(words != nullptr ? words : "");
  if (database.password.empty()) return line;
  for (std::size_t at; (at = line.find(database.password)) != std::string::npos;) {
    line.replace(at, database.password.size(), "***");
  }
  return line;
}

std::string text_of(double value) {
  char text[64];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

struct options_freer {
  void operator()(PQconninfoOption* options) const { PQconninfoFree(options); }
};
using parsed_options = std::unique_ptr<PQconninfoOption, options_freer>;

// libpq's reading of a connection string. Its words for what it could not
// read quote the string, password and all: they are told here in general
// words instead.
parsed_options parse(const std::string& target, std::string& why) {
  char* error = nullptr;
  parsed_options options(PQconninfoParse(target.c_str(), &error));
  if (options) return options;
  const std::string words = error != nullptr ? error : "";
  PQfreemem(error);
  struct known {
    const char* says;
    const char* general;
  };
  const known kinds[] = {
      {"percent", "a % that begins no escape of two hex digits"},
      {"IPv6", "an IPv6 address without its closing ]"},
      {"\"=\"", "a word without its = and value"},
      {"quoted", "a quote that is not closed"},
      {"query parameter", "a ?parameter libpq does not know"},
      {"connection option", "an option libpq does not know"},
      {"port", "a port that is not a number"},
      {"memory", "no memory to read it"},
  };
  std::string what = "something libpq cannot read";
  for (const known& kind : kinds) {
    if (words.find(kind.says) != std::string::npos) {
      what = kind.general;
      break;
    }
  }
  why = "the PostgreSQL connection string given to --db holds " + what +
        " (it is not shown: it may hold a password)";
  return nullptr;
}

std::string password_of(const PQconninfoOption* options) {
  for (const PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
    if (std::string(option->keyword) == "password" && option->val != nullptr) return option->val;
  }
  return {};
}

// Waits until the socket is ready as `events` asks, within `deadline`;
// false when the wait ended otherwise, with why.
bool wait_for_socket(postgres_database& database, short events, wait_clock::time_point deadline,
                     std::string& why) {
  for (;;) {
    if (database.waits->interrupted && database.waits->interrupted()) {
      database.waits->was_interrupted = true;
      why = "a stop request came while it waited for the database";
      return false;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - wait_clock::now()).count();
    if (left <= 0) {
      why = "the PostgreSQL server did not answer within " +
            std::to_string(database_wait_ms / 1000) + " s";
      return false;
    }
    pollfd socket{PQsocket(database.connection), events, 0};
    const int ready =
        poll(&socket, 1, static_cast<int>(std::min<long long>(left, database_poll_ms)));
    if (ready > 0) return true;
  }
}

// Gives up the connection: a wait that had to end leaves it in the middle
// of an exchange, and closing it ends what the server was doing for it.
void drop(postgres_database& database) {
  PQfinish(database.connection);
  database.connection = nullptr;
  database.waits->lost = true;
}

// Connects, polling as libpq asks, within the bound.
bool connect(postgres_database& database, const std::string& target, std::string& why) {
  // Given first, so that a connect_timeout in the string wins (it is libpq's
  // own wait, for each address it tries).
  const char* keywords[] = {"connect_timeout", "dbname", nullptr};
  const char* values[] = {connect_seconds.c_str(), target.c_str(), nullptr};
  database.connection = PQconnectStartParams(keywords, values, 1);
  if (database.connection == nullptr) {
    why = "out of memory";
    return false;
  }
  const auto deadline = wait_clock::now() + std::chrono::milliseconds(database_wait_ms);
  PostgresPollingStatusType status = PGRES_POLLING_WRITING;
  while (PQstatus(database.connection) != CONNECTION_BAD && status != PGRES_POLLING_OK &&
         status != PGRES_POLLING_FAILED) {
    if (!wait_for_socket(database, status == PGRES_POLLING_READING ? POLLIN : POLLOUT, deadline,
                         why)) {
      return false;
    }
    status = PQconnectPoll(database.connection);
  }
  if (status == PGRES_POLLING_OK) return true;
  why = error_of(database, PQerrorMessage(database.connection));
  return false;
}

}  // namespace

const sql_dialect postgres_dialect{
    // The serial pools lock their row and then read what the transaction
    // before them committed, which READ COMMITTED shows whatever the
    // server's default is.
    .begin_write = "BEGIN ISOLATION LEVEL READ COMMITTED",
    .row_id_column = "id BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY",
    // Two stations creating the tables at once would otherwise collide in
    // the catalogue; the number is this store's own, any fixed one would do.
    .schema_lock = "SELECT pg_advisory_xact_lock(7311250325)",
};

bool postgres_target_has_password(const std::string& target) {
  std::string unread;
  const parsed_options options = parse(target, unread);
  return options && !password_of(options.get()).empty();
}

postgres_database* postgres_open(const std::string& target, database_waits& waits,
                                 std::string& why) {
  const parsed_options options = parse(target, why);
  if (!options) return nullptr;
  auto* database = new postgres_database{.waits = &waits, .password = password_of(options.get())};
  std::string failure;
  bool ready = connect(*database, target, failure);
  for (const std::string& bound : server_bounds) {
    ready = ready && postgres_run(*database, bound, {}, {}, failure);
  }
  if (!ready) {
    why = "cannot open the PostgreSQL database: " + failure;
    postgres_close(database);
    return nullptr;
  }
  PQsetNoticeProcessor(database->connection, ignore_notice, nullptr);
  return database;
}

bool postgres_run(postgres_database& database, const std::string& sql,
                  const std::vector<sql_value>& values, const row_sink& each_row,
                  std::string& why) {
  database.waits->was_interrupted = false;
  PGconn* connection = database.connection;
  if (connection == nullptr || PQstatus(connection) != CONNECTION_OK) {
    why = "the connection to the PostgreSQL server was lost";
    if (connection != nullptr) drop(database);
    database.waits->lost = true;
    return false;
  }
  std::vector<std::string> texts(values.size());
  std::vector<const char*> pointers(values.size(), nullptr);
  std::vector<Oid> types(values.size(), no_type);
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (const auto* number = std::get_if<int64_t>(&values[i])) {
      texts[i] = std::to_string(*number);
      types[i] = bigint_type;
    } else if (const auto* real = std::get_if<double>(&values[i])) {
      texts[i] = text_of(*real);
      types[i] = double_type;
    } else if (const auto* text = std::get_if<std::string>(&values[i])) {
      texts[i] = *text;
      types[i] = text_type;
    } else {
      continue;  // NULL
    }
    pointers[i] = texts[i].c_str();
  }
  if (!PQsendQueryParams(connection, sql.c_str(), static_cast<int>(values.size()), types.data(),
                         pointers.data(), nullptr, nullptr, 0)) {
    why = error_of(database, PQerrorMessage(connection));
    if (PQstatus(connection) != CONNECTION_OK) drop(database);
    return false;
  }
  // Row by row, so that a long history is never held whole.
  PQsetSingleRowMode(connection);
  const auto deadline = wait_clock::now() + std::chrono::milliseconds(answer_wait_ms);
  bool ok = true;
  for (;;) {
    while (PQisBusy(connection)) {
      if (!wait_for_socket(database, POLLIN, deadline, why)) {
        drop(database);
        return false;
      }
      if (!PQconsumeInput(connection)) {
        why = error_of(database, PQerrorMessage(connection));
        drop(database);
        return false;
      }
    }
    PGresult* result = PQgetResult(connection);
    if (result == nullptr) break;
    const ExecStatusType status = PQresultStatus(result);
    if (status == PGRES_SINGLE_TUPLE && each_row) {
      sql_row row;
      for (int column = 0; column < PQnfields(result); ++column) {
        if (PQgetisnull(result, 0, column)) {
          row.emplace_back();
        } else {
          row.emplace_back(std::string(PQgetvalue(result, 0, column),
                                       static_cast<std::size_t>(PQgetlength(result, 0, column))));
        }
      }
      each_row(row);
    } else if (status != PGRES_SINGLE_TUPLE && status != PGRES_TUPLES_OK &&
               status != PGRES_COMMAND_OK && ok) {
      ok = false;
      why = error_of(database, PQresultErrorMessage(result));
    }
    PQclear(result);
  }
  if (!ok && PQstatus(connection) != CONNECTION_OK) drop(database);
  return ok;
}

void postgres_close(postgres_database* database) {
  if (database == nullptr) return;
  PQfinish(database->connection);
  delete database;
}
