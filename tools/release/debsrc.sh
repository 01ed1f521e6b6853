#!/bin/bash
# debsrc.sh <package> <version> <folder> [suite]: Debian's source package of
# that exact version, downloaded into <folder> (kept: reruns are free); prints
# its .dsc. When no source entry lists that version, one for <suite> (bookworm
# unless named) is added. What goes into a wheel, and the musl the wheel is
# tried on, are pinned in the Makefile (OPENSSL_DEB, ZLIB_DEB, MUSL_DEB), so
# that they do not change with the source entries a machine happens to have:
# a newer suite's entry (make test-pythons adds unstable's) would otherwise
# bring a newer, different library.
#
# The wheels' pins are Debian 12's point-release versions: the security suite
# keeps only its newest files, so a pin there would stop building at its next fix.
set -euo pipefail
pkg=$1 version=$2 dir=$(realpath -m "$3") suite=${4:-bookworm}
dsc=$dir/${pkg}_${version#*:}.dsc
[ -f "$dsc" ] && { echo "$dsc"; exit 0; }
if ! apt-cache showsrc "$pkg" 2>/dev/null | grep -qxF "Version: $version"; then
  # Debian 12's under the file name the wheel tools always used for it.
  list=/etc/apt/sources.list.d/velmora-$([ "$suite" = bookworm ] && echo deb || echo "$suite")-src.sources
  printf '%s\n' "# Debian $suite's source packages: the pinned libraries of velmora's wheels and tests." \
    'Types: deb-src' 'URIs: http://deb.debian.org/debian' "Suites: $suite" 'Components: main' \
    'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' > "$list"
  apt-get update -qq
fi
mkdir -p "$dir"
if ! (cd "$dir" && apt-get source -qq --download-only "$pkg=$version" > "$dir/fetch.log" 2>&1) || [ ! -f "$dsc" ]; then
  grep '^E:' "$dir/fetch.log" >&2 || true
  echo "debsrc.sh: the archive serves no $pkg $version any more: move its pin in the Makefile" >&2
  exit 1
fi
echo "$dsc"
