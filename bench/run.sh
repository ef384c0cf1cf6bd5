#!/bin/sh
# Runs the series-send benchmark (ours against curl); see bench/run.py --help.
set -e
bash "$(dirname "$0")/../scripts/deps.sh"
exec /usr/bin/python3 "$(dirname "$0")/run.py" "$@"
