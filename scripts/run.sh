#!/usr/bin/env bash
# Installs what is needed, builds, and starts the program.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh"
bash "$root/scripts/build.sh"
build=${SENDORIX_BUILD_DIR:-$root/build}
exe="$build/bin/sendorix"
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "No display found (DISPLAY and WAYLAND_DISPLAY are empty); start it from a desktop session." >&2
  exit 1
fi
exec "$exe"
