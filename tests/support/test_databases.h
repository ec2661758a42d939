// The databases a test of the station's records runs each case on: an
// SQLite file in the test's folder, and a PostgreSQL database of its own on
// a server the suite starts itself. Where Debian's postgresql package is
// missing the PostgreSQL half is left out with a line that says so; under
// CI=true that fails instead. For GoogleTest suites only.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "support/postgres_server.h"

struct test_database {
  std::string name;    // for the trace
  std::string target;  // what --db gets
};

// A suite's server: started in SetUpTestSuite, stopped in TearDownTestSuite.
struct test_postgres {
  postgres_server server;
  bool up = false;
  std::string why;  // why it is not
};

inline void test_postgres_start(test_postgres& postgres) {
  postgres.up = postgres_start(postgres.server, postgres.why);
}

inline void test_postgres_stop(test_postgres& postgres) { postgres_stop(postgres.server); }

// A fresh SQLite file in `dir`, and a fresh PostgreSQL database named after
// the test that runs.
inline std::vector<test_database> test_databases(const test_postgres& postgres,
                                                 const std::string& dir) {
  std::vector<test_database> all{{"SQLite", dir + "/records.db"}};
  // Lower case, letters, digits and "_" (a parameterised test's name has a
  // "/"), and within PostgreSQL's 63 bytes, which would cut it silently.
  const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  std::string name;
  for (const unsigned char c : test)
    name += std::isalnum(c) ? static_cast<char>(std::tolower(c)) : '_';
  if (name.size() > 40)
    name = name.substr(name.size() - 40) + std::to_string(std::hash<std::string>{}(test) % 1000000);
  const char* ci = std::getenv("CI");
  if (postgres.up) {
    all.push_back({"PostgreSQL", postgres_database(postgres.server, name)});
  } else if (postgres.server.bin.empty() && (ci == nullptr || std::string(ci) != "true")) {
    std::printf("[ skipped  ] PostgreSQL: %s\n", postgres.why.c_str());
  } else {
    ADD_FAILURE() << "PostgreSQL: " << postgres.why;
  }
  return all;
}
