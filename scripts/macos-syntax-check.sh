#!/usr/bin/env bash
# Syntax-checks the macOS sources on any host: every *.mm in the repository
# (or the files given) is compiled with clang as Objective-C++ under ARC,
# -fsyntax-only, against the declaration-only SDK subset in macos/sdk.
#
# The standard library is libc++, as on macOS. Exit status: 0 when every
# file passes, 1 when any fails, 77 when this host cannot run the check
# (no clang, or no libc++ headers: install libc++-dev / libc++abi-dev).
#
# CLANGXX overrides the compiler (default: clang++).
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
sdk="$root/macos/sdk"
cxx=${CLANGXX:-clang++}

if ! command -v "$cxx" >/dev/null 2>&1; then
  echo "macos-syntax-check: $cxx not found" >&2
  exit 77
fi
if ! printf '#include <vector>\n' |
    "$cxx" -x c++ -std=c++20 -stdlib=libc++ -fsyntax-only - >/dev/null 2>&1; then
  echo "macos-syntax-check: $cxx has no usable libc++ (install libc++-dev and libc++abi-dev)" >&2
  exit 77
fi

if [ $# -gt 0 ]; then
  files=("$@")
else
  files=()
  while IFS= read -r f; do files+=("$root/$f"); done < <(
    if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
      git -C "$root" ls-files --cached --others --exclude-standard -- '*.mm'
    else
      (cd "$root" && find . -name '*.mm' -not -path './build*' -not -path './.git/*' | sed 's|^\./||')
    fi | sort -u)
fi
if [ ${#files[@]} -eq 0 ]; then
  echo "macos-syntax-check: no Objective-C++ sources found" >&2
  exit 1
fi

flags=(
  -x objective-c++ -std=c++20 -stdlib=libc++ -fsyntax-only
  -fblocks -fobjc-runtime=macosx-14.0 -fobjc-arc
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion -Werror
  -I "$sdk" -I "$root/audio" -I "$root/screen" -I "$root/screen/include"
)

# Headers that must come from macos/sdk: a same-named header elsewhere on
# the host would make the check meaningless.
framework='/(objc|CoreFoundation|Foundation|dispatch|CoreAudio|CoreMedia|CoreVideo|ScreenCaptureKit)/[^/]+\.h$|/MacTypes\.h$'

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
for f in "${files[@]}"; do
  [ -f "$f" ] || { echo "FAIL $f: no such file" >&2; failed=1; continue; }
  dep="$work/deps"
  if ! "$cxx" "${flags[@]}" -MD -MF "$dep" "$f"; then
    echo "FAIL $f" >&2
    failed=1
    continue
  fi
  # One dependency per line, without the make syntax around it.
  deps=$(sed -e 's/^[^:]*://' -e 's/\\$//' "$dep" | tr ' ' '\n' | sed '/^$/d')
  foreign=$(printf '%s\n' "$deps" | grep -E "$framework" | grep -v "^$sdk/" || true)
  if [ -n "$foreign" ]; then
    echo "FAIL $f: platform headers from outside $sdk:" >&2
    printf '  %s\n' $foreign >&2
    failed=1
    continue
  fi
  echo "ok   ${f#"$root"/}"
done
exit $failed
