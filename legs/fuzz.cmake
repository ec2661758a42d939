# The fuzz leg (preset fuzz): each libFuzzer target runs for a bounded time
# from its seed corpus; any finding fails it.
set(VEXLOR_FUZZ_SECONDS 45 CACHE STRING "How long each fuzz target runs, in seconds")
foreach(target fuzz_options fuzz_protocol fuzz_image_format fuzz_run_line)
  add_test(NAME ${target} COMMAND ${PROJECT_SOURCE_DIR}/legs/fuzz.sh $<TARGET_FILE:${target}> ${VEXLOR_FUZZ_SECONDS})
  math(EXPR bound "${VEXLOR_FUZZ_SECONDS} + 120")
  set_tests_properties(${target} PROPERTIES LABELS fuzz TIMEOUT ${bound})
endforeach()
