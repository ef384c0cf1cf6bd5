#!/usr/bin/env bash
# Configures and builds into build/ (or $SENDORIX_BUILD_DIR). Arguments are passed to CMake's
# configure step (e.g. -DSENDORIX_WERROR=ON); $SENDORIX_BUILD_TARGETS (space-separated) builds
# only those targets.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${SENDORIX_BUILD_DIR:-$root/build}
launcher=()
# A compiler cache, where one is installed, makes rebuilds in several checkouts cheap.
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" "$@" >/dev/null
targets=()
for t in ${SENDORIX_BUILD_TARGETS:-}; do
  targets+=(--target "$t")
done
cmake --build "$build" -j "$(nproc)" "${targets[@]}"
