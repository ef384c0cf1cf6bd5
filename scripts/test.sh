#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test.
#
#   --werror    warnings are errors (what CI builds with)
#   --sanitize  instead: builds the mail library, the send job and their tests with
#               AddressSanitizer and UndefinedBehaviorSanitizer into build-asan/ (or
#               $SENDORIX_ASAN_BUILD_DIR), runs only those tests (ctest -L 'mail|job')
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
werror=OFF
sanitize=0
for arg in "$@"; do
  case "$arg" in
    --werror) werror=ON ;;
    --sanitize) sanitize=1 ;;
    -h|--help) sed -n '2,8s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) echo "test.sh: unknown option '$arg' (--werror, --sanitize)" >&2; exit 2 ;;
  esac
done
bash "$root/scripts/deps.sh"
if [ "$sanitize" = 1 ]; then
  build=${SENDORIX_ASAN_BUILD_DIR:-$root/build-asan}
  # The mail library and the job need no window: no Qt program, no benchmark. Unoptimised (Debug): it
  # builds in half the time, and GCC's optimiser warns falsely about <regex> when instrumented.
  SENDORIX_BUILD_DIR=$build SENDORIX_BUILD_TARGETS="mail_tests mail_tool job_tests" bash "$root/scripts/build.sh" \
    -DCMAKE_BUILD_TYPE=Debug -DSENDORIX_SANITIZE=ON -DSENDORIX_WERROR=$werror -DSENDORIX_BUILD_APP=OFF -DSENDORIX_BUILD_BENCH=OFF
  cd "$build"
  # A leak or a fault fails the test that hit it.
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
  QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$(nproc)" --timeout 600 -L 'mail|job'
  exit 0
fi
bash "$root/scripts/build.sh" -DSENDORIX_WERROR=$werror
build=${SENDORIX_BUILD_DIR:-$root/build}
cd "$build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$(nproc)" --timeout 600
