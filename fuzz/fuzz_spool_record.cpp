// A spooled record is read back from a file anyone may have touched: any
// bytes at all must either be refused or be a record that, spooled again,
// reads back the same, so that a replay writes to the database exactly what
// the station wrote to the spool.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "records/run_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  run_record record, again;
  std::string why;
  if (!record_of_spool_line(text, record, why)) {
    if (why.empty()) std::abort();  // a refusal says why
    return 0;
  }
  if (!record_of_spool_line(spool_line(record), again, why) ||
      history_line(again) != history_line(record)) {
    std::fprintf(stderr, "spool record check failed: a record that does not read back\n");
    std::abort();
  }
  return 0;
}
