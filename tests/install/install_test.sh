#!/usr/bin/env bash
# Installs the build tree into a temporary prefix and checks that the install
# is complete and usable: the files in bin/, lib/ and include/, an installed
# mirvo-record that uses the deliverables beside it, and a C consumer built
# both through pkg-config and through find_package(mirvo_sck), each run
# against a private Xvfb.
#
#   install_test.sh BUILD_DIR SOURCE_DIR PAINTER
set -euo pipefail
build=$1 root=$2 painter=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/mirvo-install.XXXXXX")
display=""
cleanup() {
  [ -n "$display" ] && "$root/scripts/xvfb-server.sh" stop "$display" || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "install_test: $*" >&2; exit 1; }

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || {
  cat "$work/install.log"; fail "cmake --install failed"; }
for f in bin/mirvo-sck-audio bin/mirvo-record lib/libmirvo_sck.so include/mirvo_sck.h \
    lib/pkgconfig/mirvo_sck.pc lib/cmake/mirvo_sck/mirvo_sck-config.cmake \
    lib/cmake/mirvo_sck/mirvo_sck-config-version.cmake; do
  [ -f "$prefix/$f" ] || fail "missing $f"
done
[ -x "$prefix/bin/mirvo-sck-audio" ] && [ -x "$prefix/bin/mirvo-record" ] ||
  fail "the installed programs are not executable"

# The installed recorder must use the installed deliverables, not the build
# tree it was built in (which still exists here).
help=$("$prefix/bin/mirvo-record" --help)
grep -qF "(default $prefix/bin/mirvo-sck-audio)" <<<"$help" ||
  fail "installed mirvo-record does not use bin/mirvo-sck-audio: $help"
grep -qF "(default $prefix/bin/../lib/libmirvo_sck.so)" <<<"$help" ||
  fail "installed mirvo-record does not use lib/libmirvo_sck.so: $help"

# Copy the prefix elsewhere: both package files must be relocatable.
mv "$prefix" "$work/moved"
prefix=$work/moved

display=$("$root/scripts/xvfb-server.sh" start "$painter") || fail "no Xvfb"

# 1. pkg-config
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
[ "$(pkg-config --modversion mirvo_sck)" = "$(sed -n 's/^project(mirvo_sck VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")" ] ||
  fail "pkg-config reports version $(pkg-config --modversion mirvo_sck)"
# shellcheck disable=SC2046
cc -std=c11 -Wall -Werror "$here/consumer/consumer.c" $(pkg-config --cflags --libs mirvo_sck) \
  -Wl,-rpath,"$(pkg-config --variable=libdir mirvo_sck)" -o "$work/consumer-pc" ||
  fail "the consumer does not build through pkg-config"
out=$(DISPLAY=$display "$work/consumer-pc" 2>&1) || fail "pkg-config consumer: $out"
grep -qx "consumer: ok" <<<"$out" || fail "pkg-config consumer: $out"
# The failed start's one line, from the installed library.
grep -qx 'sck-video: cannot open X display ":65000"' <<<"$out" ||
  fail "pkg-config consumer: no diagnostic line for the failed start: $out"

# 2. find_package
cmake -S "$here/consumer" -B "$work/consumer-build" -DCMAKE_PREFIX_PATH="$prefix" \
  >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; fail "find_package consumer: configure failed"; }
cmake --build "$work/consumer-build" >"$work/build.log" 2>&1 ||
  { cat "$work/build.log"; fail "find_package consumer: build failed"; }
out=$(DISPLAY=$display "$work/consumer-build/consumer" 2>&1) || fail "find_package consumer: $out"
grep -qx "consumer: ok" <<<"$out" || fail "find_package consumer: $out"
echo "install_test: passed"
