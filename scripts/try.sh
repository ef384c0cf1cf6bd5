#!/usr/bin/env bash
# Try Sendorix without a mail server of your own: starts a local SMTP server on 127.0.0.1 that
# keeps every message it receives as a .eml file, points the program at it, starts the program
# and stops the server when the program exits.
#
#   bash scripts/try.sh [--inbox DIR] [--replace-settings] [--no-program]
#
#   --inbox DIR          where the messages land (default: build/try-inbox)
#   --replace-settings   replace an existing build/bin/Sendorix.cfg (a copy is kept as .bak);
#                        without it an existing settings file is left alone
#   --no-program         only run the server (until Ctrl+C)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${SENDORIX_BUILD_DIR:-$root/build}
python=/usr/bin/python3
inbox=""
replace=()
run_program=1

while [ $# -gt 0 ]; do
  case "$1" in
    --inbox) inbox=${2:?--inbox needs a folder}; shift 2 ;;
    --replace-settings) replace=(--replace-settings); shift ;;
    --no-program) run_program=0; shift ;;
    -h|--help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "Unknown option: $1 (see --help)" >&2; exit 2 ;;
  esac
done

if [ "${SENDORIX_SKIP_DEPS:-}" != 1 ]; then
  bash "$root/scripts/deps.sh"
fi
exe="$build/bin/sendorix"
if [ ! -x "$exe" ]; then
  echo "Building the program first..."
  SENDORIX_BUILD_DIR="$build" bash "$root/scripts/build.sh"
fi
if ! "$python" -c 'import aiosmtpd' 2>/dev/null; then
  echo "The local server needs python3-aiosmtpd (bash scripts/deps.sh installs it)." >&2
  exit 1
fi

inbox=${inbox:-$build/try-inbox}
mkdir -p "$inbox"
inbox=$(cd "$inbox" && pwd)
version=$(sed -n 's/^project(Sendorix VERSION \([0-9][0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
work=$(mktemp -d)
server_pid=""

cleanup() {
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The server watches this script's pid, so it also goes if the script is killed outright.
"$python" "$root/scripts/try_server.py" serve --inbox "$inbox" \
  --port-file "$work/port" --parent-pid $$ &
server_pid=$!
for _ in $(seq 100); do
  [ -s "$work/port" ] && break
  kill -0 "$server_pid" 2>/dev/null || { echo "The local server did not start." >&2; exit 1; }
  sleep 0.1
done
[ -s "$work/port" ] || { echo "The local server did not start in time." >&2; exit 1; }
port=$(cat "$work/port")

"$python" "$root/scripts/try_server.py" write-config --program-dir "$build/bin" \
  --profile "$build/bin/Try-local.smt" --port "$port" --version "$version" "${replace[@]}"

echo
echo "Messages sent to the local server land in: $inbox"
echo "(one .eml file per message; open them with any mail program or a text editor)"
echo

if [ "$run_program" = 1 ] && [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "Starting Sendorix; the server stops when you close it."
  status=0
  # A window of its own even when Sendorix is already open elsewhere: the server lives as long
  # as this one.
  SENDORIX_INSTANCE="$work/instance" "$exe" || status=$?
  echo "Sendorix has closed; stopping the local server."
  exit "$status"
fi

if [ "$run_program" = 1 ]; then
  echo "No display found (DISPLAY and WAYLAND_DISPLAY are empty), so the program is not started."
fi
echo "The server runs until you press Ctrl+C."
wait "$server_pid"
