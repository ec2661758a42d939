// What the station reads from a run is untrusted output: any bytes at all,
// line by line, must either be an event of the --json contract or be passed
// over, and a run judged from them must say why it failed in one line of
// bounded length, without a crash or an overflow. An event that is read
// must read back the same once written again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "contract/run_contract.h"
#include "runs/run_state.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "run line check failed: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  run_progress progress;
  for (std::size_t start = 0; start <= input.size();) {
    std::size_t end = input.find('\n', start);
    if (end == std::string_view::npos) end = input.size();
    const std::string line(input.substr(start, end - start));
    start = end + 1;
    if (const std::optional<run_line> event = parse_run_line(line)) {
      std::string again = run_line_text(*event);
      again.pop_back();
      if (parse_run_line(again) != event) fail("an event that does not read back as written");
    }
    take_run_line(progress, line);
    if (progress.detail.size() > 32) fail("a live detail longer than a column");
  }
  const int exit_status = size > 0 ? data[0] : 0;
  const run_verdict verdict = judge_run(progress, exit_status, size > 1 && (data[1] & 1));
  if (verdict.outcome != run_outcome::ok && verdict.reason.empty()) fail("a failure without why");
  if (verdict.reason.find('\n') != std::string::npos) fail("a reason of more than one line");
  return 0;
}
