#!/usr/bin/env bash
# Makes the pictures of the manual (help/pictures/{en,ru}-*.png) from the real window, in both
# languages, under a virtual X display, so they can be made again whenever the window changes.
# The window is filled as in a real session and sends a real series to a local test server.
#
#   bash scripts/help-pictures.sh [--display :N] [--out DIR] [--dialogs]
#
#   --display :N   the X display to start Xvfb on (default: the first free one Xvfb finds)
#   --out DIR      where the pictures go (default: help/pictures)
#   --dialogs      instead: every dialog in both languages at 1x and 2x on a 1280x1024
#                  screen ({1,2}x-{en,ru}-<dialog>.png), to look at after a change
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${SENDORIX_BUILD_DIR:-$root/build}
display=""
out="$root/help/pictures"
dialogs=""

while [ $# -gt 0 ]; do
  case "$1" in
    --display) display=${2:?--display needs a display such as :5}; shift 2 ;;
    --out) out=${2:?--out needs a folder}; shift 2 ;;
    --dialogs) dialogs=1; shift ;;
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "Unknown option: $1 (see --help)" >&2; exit 2 ;;
  esac
done

command -v Xvfb >/dev/null || { echo "Xvfb is needed (Debian package xvfb)." >&2; exit 1; }
if [ ! -x "$build/tests/app_tests" ]; then
  echo "Building first..."
  SENDORIX_BUILD_DIR="$build" bash "$root/scripts/build.sh"
fi
mkdir -p "$out"
out=$(cd "$out" && pwd)

work=$(mktemp -d)
xvfb_pid=""
cleanup() {
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# 1024x768 at 96 dpi: the window as most desktops show it. The dialogs: the screen on which a 2x
# scale leaves a dialog least room (640x512).
screen=1024x768x24
[ -n "$dialogs" ] && screen=1280x1024x24
if [ -n "$display" ]; then
  Xvfb "$display" -screen 0 "$screen" -dpi 96 -nolisten tcp >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
else
  Xvfb -displayfd 3 -screen 0 "$screen" -dpi 96 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
fi
for _ in $(seq 100); do
  if [ -z "$display" ] && [ -s "$work/display" ]; then display=":$(cat "$work/display")"; fi
  [ -n "$display" ] && [ -e "/tmp/.X11-unix/X${display#:}" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || { cat "$work/xvfb.log" >&2; echo "Xvfb did not start." >&2; exit 1; }
  sleep 0.1
done

if [ -n "$dialogs" ]; then
  # The walk over every dialog writes each one's picture while it checks it.
  for scale in 1 2; do
    (cd "$work" && DISPLAY="$display" QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR=$scale SENDORIX_SCREENSHOT_DIR="$out" \
      "$build/tests/app_tests" --gtest_filter='DialogWalkTest.*' --gtest_brief=1)
  done
  echo "Dialog pictures written to $out:"
  ls "$out"
  exit 0
fi

# The test starts the window as on a first start (settings in a folder of its own); the
# pictures are its only output.
(cd "$work" && DISPLAY="$display" QT_QPA_PLATFORM=xcb SENDORIX_SCREENSHOT_DIR="$out" \
  "$build/tests/app_tests" --gtest_filter='HelpPictures.Manual' --gtest_brief=1)
echo "Pictures written to $out:"
ls "$out"
