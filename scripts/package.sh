#!/usr/bin/env bash
# Builds the Debian package (sendorix_<version>_amd64.deb) from this checkout with the
# distribution's own tools, installing them first when they are missing, then checks the package
# with lintian and its software centre description with appstreamcli.
#
#   bash scripts/package.sh [--out DIR] [--no-checks]
#
#   --out DIR     where the package goes, with the build's .changes and .buildinfo files and the
#                 debug symbols package (default: build/deb)
#   --no-checks   only build; skip lintian and appstreamcli
#
# SENDORIX_SKIP_DEPS=1 installs nothing (the tools must be there already).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${SENDORIX_BUILD_DIR:-$root/build}
out=""
checks=1

while [ $# -gt 0 ]; do
  case "$1" in
    --out) out=${2:?--out needs a folder}; shift 2 ;;
    --no-checks) checks=0; shift ;;
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "Unknown option: $1 (see --help)" >&2; exit 2 ;;
  esac
done

if [ "${SENDORIX_SKIP_DEPS:-}" != 1 ]; then
  # The packaging tools and the build dependencies named in debian/control.
  tools=(build-essential debhelper dpkg-dev lintian appstream)
  missing=()
  for p in "${tools[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  if [ ${#missing[@]} -gt 0 ] || ! (cd "$root" && dpkg-checkbuilddeps) 2>/dev/null; then
    echo "Installing the packaging tools and build dependencies..."
    $sudo_cmd apt-get update -qq
    [ ${#missing[@]} -gt 0 ] && DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
    (cd "$root" && DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get build-dep -y -qq ./)
  fi
fi
for tool in dpkg-buildpackage dh lintian appstreamcli; do
  command -v "$tool" >/dev/null || {
    echo "$tool is missing (run without SENDORIX_SKIP_DEPS=1 to install it)." >&2; exit 1; }
done

# One version for everything: the one in CMakeLists.txt must head debian/changelog.
version=$(sed -n 's/^project(Sendorix VERSION \([0-9][0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
changelog_version=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)
if [ "$version" != "$changelog_version" ]; then
  echo "CMakeLists.txt says version $version, debian/changelog says $changelog_version:" >&2
  echo "add a changelog entry for $version (dch -v $version) before packaging." >&2
  exit 1
fi

out=${out:-$build/deb}
mkdir -p "$out" "$build"
out=$(cd "$out" && pwd)
arch=$(dpkg-architecture -qDEB_HOST_ARCH)

# One package build at a time per build folder: they share the work folder below.
exec 9>"$build/.package.lock"
flock 9

# The package is built from a copy of the checkout (its files as they are now, uncommitted
# changes included, build folders left out), so the checkout itself stays clean. The copy
# always has the same path, which lets the compiler cache serve the next build.
work="$build/deb-work"
rm -rf "$work"
src="$work/sendorix-$version"
mkdir -p "$src"
cleanup() { rm -rf "$work"; }
trap cleanup EXIT
if git -C "$root" rev-parse --git-dir >/dev/null 2>&1; then
  (cd "$root" && git ls-files -z --cached --others --exclude-standard |
     while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
     tar --null -T - -cf -) | tar -xf - -C "$src"
else
  tar -C "$root" --exclude='./build*' -cf - . | tar -xf - -C "$src"
fi

# debhelper gives the build a home of its own; the compiler cache stays the user's.
if command -v ccache >/dev/null; then
  CCACHE_DIR=$(ccache --get-config cache_dir)
  export CCACHE_DIR PATH="/usr/lib/ccache:$PATH"
fi
echo "Building sendorix $version for $arch..."
(cd "$src" && DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" \
   dpkg-buildpackage -us -uc -b) >"$work/build.log" 2>&1 || {
  tail -n 60 "$work/build.log" >&2
  echo "The package build failed (the last lines of its log are above)." >&2
  exit 1
}

# Only this build's files in the output folder, so "apt install ./sendorix_*.deb" finds one.
rm -f "$out"/sendorix_*.deb "$out"/sendorix-dbgsym_*.deb "$out"/sendorix_*.changes \
  "$out"/sendorix_*.buildinfo
mv "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo "$out"/
deb="$out/sendorix_${version}_${arch}.deb"
changes="$out/sendorix_${version}_${arch}.changes"
[ -f "$deb" ] || { echo "The build made no $deb." >&2; exit 1; }

if [ "$checks" = 1 ]; then
  echo "Checking with lintian..."
  # Errors and warnings fail the build; overrides in debian/ say why a warning stays.
  lintian --fail-on error,warning --tag-display-limit 0 "$changes"
  echo "Checking the software centre description..."
  # Offline: the screenshots' web addresses are not fetched.
  metainfo=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep '^./usr/share/metainfo/.*\.metainfo\.xml$')
  # The file keeps its name: the validator checks it against the id.
  dpkg-deb --fsys-tarfile "$deb" | tar -xO "$metainfo" >"$work/$(basename "$metainfo")"
  appstreamcli validate --no-net --explain "$work/$(basename "$metainfo")"
fi
echo "Package: $deb"
