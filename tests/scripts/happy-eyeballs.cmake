# bench/happy-eyeballs.sh's counts and report, on outputs made by the test
# (no namespace, no server, no build).
add_test(NAME scripts.happy_eyeballs
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/happy-eyeballs.sh ${PROJECT_SOURCE_DIR})
set_tests_properties(scripts.happy_eyeballs PROPERTIES TIMEOUT 60)
