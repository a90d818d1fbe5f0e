#!/usr/bin/env bash
# The release's client libraries are reproducible: built twice from the same
# sources in two folders of different names, at different times and without
# the compiler cache, libqxcl.so, qxcl.dll and their debug files are the
# same bytes, and neither folder's name is in any of them. Only the library
# targets are built, to keep the check short.
#
#   reproducible.sh SOURCE_DIR
set -euo pipefail
source=$(cd "$1" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
unset CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER
jobs=$(nproc 2>/dev/null || echo 2)
version=$(sed -n 's/^project(quellor_client VERSION \([0-9.]*\).*/\1/p' \
  "$source/CMakeLists.txt")

# The sources as the checkout holds them (committed or not), never its build.
copy_sources() {  # copy_sources TARGET
  mkdir -p "$1"
  (cd "$source" && git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
    tar --null -T - -cf -) | tar -C "$1" -xf -
}

build_libraries() {  # build_libraries TREE
  local preset
  for preset in release-linux release-win32; do
    (cd "$1" && cmake --preset "$preset" >/dev/null &&
      cmake --build --preset "$preset" -j "$jobs" --target qxcl >/dev/null) ||
      { echo "reproducible: the $preset build failed in $1" >&2; return 1; }
  done
}

first=$tmp/a
second=$tmp/second-folder/of-another-length
copy_sources "$first"
copy_sources "$second"
build_libraries "$first"
build_libraries "$second"

rc=0
for file in "release-linux/libqxcl.so.$version" release-linux/libqxcl.so.debug \
  release-win32/qxcl.dll release-win32/qxcl.dll.debug; do
  one=$first/build/$file two=$second/build/$file
  if ! cmp -s "$one" "$two"; then
    echo "reproducible: $file differs between the two builds" >&2
    cmp "$one" "$two" | head -n 3 >&2 || true
    rc=1
  elif grep -q -a -e "$first" -e "$second" -e "$tmp" "$one"; then
    echo "reproducible: $file holds the name of its build folder" >&2
    rc=1
  else
    echo "reproducible: $file identical ($(stat -c %s "$one") bytes)"
  fi
done
exit $rc
