#!/usr/bin/env bash
# Checks that scripts/packages/program.txt holds a Debian package for every
# find_package and pkg_check_modules the program's build performs (the top
# CMakeLists.txt outside its test and benchmark blocks, cmake/ and src/), and
# the tools the build uses. A name CMake looks for that the table below does
# not know fails the test: add it here and its package to program.txt.
# Usage: program-packages.sh SOURCE_DIR
set -euo pipefail
src="$1"

# find_package names (Qt6 per component) and pkg-config modules -> package.
package_of() {
  case "$1" in
  find:Qt6:Core | find:Qt6:Widgets | find:Qt6:Network | find:Qt6:DBus | find:Qt6:Concurrent | find:Qt6:Xml)
    echo qt6-base-dev ;;
  find:Qt6:Gui) echo "qt6-base-dev libgl-dev" ;;
  find:Qt6:Svg) echo qt6-svg-dev ;;
  find:X11) echo libx11-dev ;;
  find:PkgConfig) echo pkg-config ;;
  find:OpenSSL | pkg:openssl | pkg:libssl | pkg:libcrypto) echo libssl-dev ;;
  find:Threads) echo "" ;;  # the C library
  find:Qt6Keychain) echo qtkeychain-qt6-dev ;;
  pkg:libcanberra) echo libcanberra-dev ;;
  pkg:x11) echo libx11-dev ;;
  *) return 1 ;;
  esac
}

listed=$(sed 's/#.*//' "$src/scripts/packages/program.txt" | tr -s ' \t' '\n' | sed '/^$/d')
failures=0
need() {  # PACKAGE WHY
  if ! grep -qx "$1" <<<"$listed"; then
    echo "FAIL: $2 needs the package $1, which scripts/packages/program.txt does not list"
    failures=$((failures + 1))
  fi
}

# Every call, one a line with its arguments, comments removed; the top file's
# test and benchmark blocks left out.
calls=$(
  {
    sed '/^if(VESK_TESTS)/,/^endif()/d; /^if(VESK_BENCH)/,/^endif()/d' "$src/CMakeLists.txt"
    find "$src/cmake" "$src/src" -name CMakeLists.txt -o -name '*.cmake' | sort | xargs cat
  } | sed 's/#.*//' | tr '\n' ' ' |
    grep -oE '(find_package|pkg_check_modules)[[:space:]]*\([^)]*\)' || true
)
[ -n "$calls" ] || { echo "FAIL: no find_package found in the program's CMake files"; exit 1; }

checked=0
while read -r call; do
  args=$(sed -E 's/^[a-z_]+[[:space:]]*\((.*)\)$/\1/' <<<"$call")
  read -ra words <<<"$args"
  keys=()
  case "$call" in
  find_package*)
    name=${words[0]}
    if [ "$name" = Qt6 ]; then
      in_components=0
      for w in "${words[@]:1}"; do
        case "$w" in
        COMPONENTS) in_components=1 ;;
        REQUIRED | OPTIONAL_COMPONENTS | CONFIG | QUIET) ;;
        *) [ $in_components = 1 ] && keys+=("find:Qt6:$w") ;;
        esac
      done
    else
      keys+=("find:$name")
    fi ;;
  pkg_check_modules*)
    for w in "${words[@]:1}"; do
      case "$w" in
      REQUIRED | QUIET | IMPORTED_TARGET | GLOBAL | NO_CMAKE_PATH | NO_CMAKE_ENVIRONMENT_PATH) ;;
      *) keys+=("pkg:${w%%[<>=]*}") ;;
      esac
    done ;;
  esac
  for key in "${keys[@]}"; do
    checked=$((checked + 1))
    if ! packages=$(package_of "$key"); then
      echo "FAIL: no Debian package known for ${key#*:} ($call): add it to tests/scripts/program-packages.sh and scripts/packages/program.txt"
      failures=$((failures + 1))
      continue
    fi
    for p in $packages; do need "$p" "${key#*:}"; done
  done
done <<<"$calls"

# The compiler, CMake and the generator scripts/build.sh uses.
need g++ "the C++ build"
need cmake "the build"
need ninja-build "scripts/build.sh (-G Ninja)"

[ "$failures" -eq 0 ] && echo "ok: $checked packages and modules of the program's build are in program.txt"
[ "$failures" -eq 0 ]
