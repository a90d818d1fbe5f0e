#!/usr/bin/env bash
# cmake --install of a client build, then a game's build that finds it with
# find_package(qxcl) (examples/CMakeLists.txt) and a run of that host, which
# loads the installed library by the path the package gave it.
#
#   install_package_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 source=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "install package: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
[ -f "$tmp/prefix/include/qx/game_interface.h" ] || fail "no header installed"
config=$(find "$tmp/prefix" -name qxclConfig.cmake)
[ -n "$config" ] || fail "no qxclConfig.cmake installed"

# Only the installed files: the game's build never sees the client's tree.
cp "$source/examples/CMakeLists.txt" "$source/examples/minimal_host.c" "$tmp/"
cmake -S "$tmp" -B "$tmp/build" -DCMAKE_PREFIX_PATH="$tmp/prefix" \
  -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >/dev/null ||
  fail "find_package(qxcl) failed"
cmake --build "$tmp/build" >/dev/null || fail "the host does not build"
grep -q "$tmp/prefix" "$tmp/build/CMakeCache.txt" || fail "package not used"

mkdir "$tmp/home"
# No arguments: the host loads the library the package named, home ".".
out=$(cd "$tmp/home" && "$tmp/build/minimal_host") ||
  fail "the host failed: $out"
printf '%s\n' "$out"
grep -q 'Quellor Client (v1.199' <<<"$out" || fail "the client did not start"
[ -s "$tmp/home/qx/qxcl.cfg" ] || fail "the client saved no settings"
echo "install package: a host found, built against and loaded the client"
