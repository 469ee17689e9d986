# The whole-process benchmarks' shared shell logic, on outputs made by the
# test (no server, no build).
add_test(NAME scripts.bench_common
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/bench-common.sh ${PROJECT_SOURCE_DIR})
set_tests_properties(scripts.bench_common PROPERTIES TIMEOUT 60)
