# shellcheck shell=bash
# The script tests' one assertion, sourced by them: `expect WHAT EXPECTED
# ACTUAL` counts a pass or prints both texts and counts a failure; the test
# ends with `expect_summary`, whose status is the verdict.
passed=0
failed=0
expect() {  # WHAT EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAIL: %s\n--- expected\n%s\n--- got\n%s\n' "$1" "$2" "$3"
  fi
}
expect_summary() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
