#!/bin/bash
# sysroot.sh <debian-arch> <triplet> <folder>: the target's Debian packages for
# building the module and running its tests (OpenSSL, zlib, GoogleTest, RapidJSON,
# CPython 3.11 and the test suite's tools), downloaded with apt-get download
# and unpacked into <folder>/root. Nothing is installed on the system; the
# C library is the cross compiler's (/usr/<triplet>), so libc6 is left out.
set -euo pipefail
arch=$1 triplet=$2 work=$(realpath -m "$3")
root=$work/root
if [ ! -f "$root/.complete" ]; then
rm -rf "$root" "$work/debs" && mkdir -p "$root" "$work/debs"

roots_arch="libssl-dev zlib1g-dev libgtest-dev libpython3.11-dev python3.11-minimal libpython3.11-stdlib
  python3-numpy python3-cryptography"
roots_all="rapidjson-dev python3-pytest python3-hypothesis"
# The C library and toolchain come with the cross compiler; BLAS is the
# reference one (Debian picks among the others with update-alternatives).
skip='^(libc6|libc6-dev|libc-dev-bin|libgcc-s1|gcc-12-base|linux-libc-dev|libcrypt-dev|libnsl-dev|libtirpc-dev|libexpat1-dev|libatlas3-base|libblis4-.*|libopenblas0-.*|rpcsvc-proto|tar|dpkg|install-info|perl.*|libperl.*|mailcap|media-types|mime-support|readline-common|libtirpc-common|python3|python3-minimal|python3.11|libpython3.11|libpython3-stdlib|python3-pkg-resources)$'
closure() {
  apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks --no-replaces \
    --no-enhances "$@" 2>/dev/null | grep -v '^[ <]' | sort -u
}
# The architecture-independent ones among the named packages.
arch_all() {
  apt-cache show --no-all-versions "$@" 2>/dev/null | awk '/^Package:/ {p = $2} /^Architecture: all/ {print p}'
}
{
  closure $(printf '%s:'"$arch"' ' $roots_arch) | sed -n "s/:$arch\$//p"
  arch_all $(closure $roots_all | grep -v ':')
} | sort -u | grep -Ev "$skip" > "$work/wanted.txt"
all=" $(arch_all $(cat "$work/wanted.txt") | tr '\n' ' ') "
names=$(for p in $(cat "$work/wanted.txt"); do
  case "$all" in *" $p "*) echo "$p" ;; *) echo "$p:$arch" ;; esac; done)
(cd "$work/debs" && apt-get download -qq $names)
for d in "$work"/debs/*.deb; do dpkg-deb -x "$d" "$root"; done
ls "$work/debs" > "$work/packages.txt"  # the versions used
touch "$root/.complete"
fi

# The interpreter runs under qemu-user through this script; it is also what
# sys.executable names, so the suite's subprocesses run the same way. OpenSSL's
# providers (cryptography loads the legacy one) are looked for beside libssl3.
lib=$root/usr/lib/$triplet
cat > "$root/usr/bin/python3" <<EOS
#!/bin/sh
exec qemu-${triplet%%-*} -L /usr/$triplet \\
  -E LD_LIBRARY_PATH=$lib:$root/lib/$triplet:$lib/blas:$lib/lapack -E OPENSSL_MODULES=$lib/ossl-modules \\
  -0 "\$0" "$root/usr/bin/python3.11" "\$@"
EOS
chmod +x "$root/usr/bin/python3"
