#!/bin/bash
# debsrc.sh <package> <version> <folder>: Debian's source package of that
# exact version, downloaded into <folder> (kept: reruns are free); prints its
# .dsc. What goes into a wheel is pinned (the Makefile's OPENSSL_DEB and
# ZLIB_DEB), so that the wheel does not change with the source entries a
# machine happens to have: a newer suite's entry (make test-pythons adds
# unstable's) would otherwise bring a newer, different library.
#
# The pins are Debian 12's point-release versions: the security suite keeps
# only its newest files, so a pin there would stop building at its next fix.
set -euo pipefail
pkg=$1 version=$2 dir=$(realpath -m "$3")
dsc=$dir/${pkg}_${version#*:}.dsc
[ -f "$dsc" ] && { echo "$dsc"; exit 0; }
if ! apt-cache showsrc "$pkg" 2>/dev/null | grep -qxF "Version: $version"; then
  # The same file name the wheel tools always used for their source entry.
  printf '%s\n' "# Debian 12's source packages: the pinned libraries of velmora's wheels." \
    'Types: deb-src' 'URIs: http://deb.debian.org/debian' 'Suites: bookworm' 'Components: main' \
    'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' > /etc/apt/sources.list.d/velmora-deb-src.sources
  apt-get update -qq
fi
mkdir -p "$dir"
if ! (cd "$dir" && apt-get source -qq --download-only "$pkg=$version" > "$dir/fetch.log" 2>&1) || [ ! -f "$dsc" ]; then
  grep '^E:' "$dir/fetch.log" >&2 || true
  echo "debsrc.sh: the archive serves no $pkg $version any more: move its pin in the Makefile" >&2
  exit 1
fi
echo "$dsc"
