#!/usr/bin/env bash
# Installs the Debian packages the program, its tests and its benchmark need. Safe to run again.
set -euo pipefail
pkgs=(cmake ninja-build g++ pkg-config
      qt6-base-dev qt6-5compat-dev libsimpleini-dev libqt6sql6-sqlite
      libgtest-dev python3 python3-aiosmtpd media-types
      xvfb xauth fonts-dejavu-core curl
      qt6-translations-l10n desktop-file-utils appstream man-db
      libssl-dev openssl qtkeychain-qt6-dev gnome-keyring dbus libsecret-tools time
      python3-dnslib libglib2.0-bin libidn2-dev
      libarchive-dev nettle-dev zlib1g-dev zip unzip p7zip-full)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi
