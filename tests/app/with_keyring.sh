#!/bin/sh
# Runs a command inside a private D-Bus session with an unlocked GNOME keyring that lives in a
# throw-away home folder; the session, the keyring and the folder end with the command.
set -u
for tool in dbus-run-session gnome-keyring-daemon; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done
home=$(mktemp -d)
HOME=$home XDG_DATA_HOME=$home/share XDG_CONFIG_HOME=$home/config SENDORIX_TEST_KEYRING=1 \
  dbus-run-session -- sh -c 'printf %s keyring-unlock | gnome-keyring-daemon --unlock --components=secrets >/dev/null && exec "$@"' sh "$@"
rc=$?
rm -rf "$home"
exit $rc
