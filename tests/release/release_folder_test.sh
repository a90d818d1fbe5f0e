#!/usr/bin/env bash
# Checks a release folder the way a game developer meets it: the example
# host and every C snippet of its README are compiled against the folder's
# header alone, and the host runs with the folder's library.
#
#   release_folder_test.sh DIR                 the release folder DIR
#   release_folder_test.sh --stage SOURCE LIB  a folder laid out like the
#                                              release from the sources in
#                                              SOURCE and the library LIB
set -euo pipefail
CC=${CC:-cc}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

if [ "$1" = "--stage" ]; then
  dir=$tmp/release
  mkdir -p "$dir/include" "$dir/examples" "$dir/linux-x86_64"
  cp -r "$2/include/qx" "$dir/include/"
  cp "$2/examples/minimal_host.c" "$dir/examples/"
  cp "$2/release/README" "$dir/README"
  cp "$3" "$dir/linux-x86_64/libqxcl.so"
else
  dir=$(cd "$1" && pwd)
fi

fail() { echo "release folder: $*" >&2; exit 1; }
flags=(-std=c99 -Wall -Wextra -Werror -pedantic -I "$dir/include")

# Every ```c block of the README compiles as it stands.
awk -v out="$tmp/snippet" '
  /^```c$/ { n++; inside = 1; next }
  /^```$/  { inside = 0; next }
  inside   { print > (out n ".c") }' "$dir/README"
snippets=("$tmp"/snippet*.c)
[ -e "${snippets[0]}" ] || fail "the README holds no C snippet"
for s in "${snippets[@]}"; do
  "$CC" "${flags[@]}" -c "$s" -o "$s.o" || fail "a README snippet does not compile"
done

"$CC" "${flags[@]}" "$dir/examples/minimal_host.c" -o "$tmp/minimal_host" -ldl ||
  fail "examples/minimal_host.c does not compile"
mkdir "$tmp/home"
out=$("$tmp/minimal_host" "$dir/linux-x86_64/libqxcl.so" "$tmp/home") ||
  fail "the example host failed: $out"
printf '%s\n' "$out"
grep -qx 'client version 1199' <<<"$out" || fail "no version answer"
grep -q 'Quellor Client (v1.199' <<<"$out" || fail "no version line"
[ -s "$tmp/home/qx/qxcl.cfg" ] || fail "the client saved no settings"
echo "release folder: README snippets and the example host work from $dir alone"
