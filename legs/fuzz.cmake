# The fuzz leg (preset fuzz): each libFuzzer target runs for a bounded time
# from its seed corpus; any finding fails it.
set(VEXLOR_FUZZ_SECONDS 30 CACHE STRING "How long each fuzz target runs, in seconds")
foreach(target fuzz_options fuzz_protocol fuzz_image_format fuzz_run_line fuzz_spool_record)
  add_test(NAME ${target} COMMAND ${PROJECT_SOURCE_DIR}/legs/fuzz.sh $<TARGET_FILE:${target}> ${VEXLOR_FUZZ_SECONDS})
  math(EXPR bound "${VEXLOR_FUZZ_SECONDS} + 120")
  # A fuzzer keeps a core busy, where the other tests mostly wait: it takes
  # two of ctest's places (scripts/test.sh runs twice as many as cores).
  set_tests_properties(${target} PROPERTIES LABELS fuzz TIMEOUT ${bound} PROCESSORS 2)
endforeach()
