#!/bin/sh
# The reference host switches to the replacement client. The reference
# server wants client 1.200: the client asks for its package, the server
# pushes the package qxpack made of the test replacement, the client checks
# it against the master list and prepares qxclnew; the host unloads the
# client at the next frame boundary, loads qxclnew in its place and carries
# on with it.
#   host_switch.sh QXHOST QXSERVER QXPACK CLIENT_LIBRARY REPLACEMENT_LIBRARY
# A QXHOST ending in .exe runs under Wine, with the native server and
# packager; when those are not built the test is skipped (exit 77).
set -eu
qxhost=$1 qxserver=$2 qxpack=$3 library=$4 replacement=$5
for tool in "$qxserver" "$qxpack"; do
  if [ ! -x "$tool" ]; then
    echo "skipped: $tool is not built (build the native preset first)"
    exit 77
  fi
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
case $qxhost in
  *.exe) letter=w ;;
  *) letter=l ;;
esac
# Paths as the host takes them: Wine sees the Unix file system as drive Z:.
hostPath() {
  if [ $letter = w ]; then printf 'Z:%s' "$1" | tr '/' '\\'; else printf '%s' "$1"; fi
}
mkdir -p "$work/qx" "$work/packages"
"$qxpack" pack "$replacement" "$work/packages/${letter}c001200.htm" >"$work/pack.log"
{
  printf '<p> S 2 master1.quellor.example 16567 0\r\n'
  grep '^<p> F' "$work/pack.log"
} >"$work/qx/qxcl.db"
printf 'control 1200 0 1,2,3,4 guid\nwait 2500\ncontrol 1200 0 1,2,3,4 guid\nwait 3000\nquit\n' \
  >"$work/server.qxs"
printf '@wait 6000\nqx_Ver\n@wait 300\n@quit\n' >"$work/host.qxs"
# Port 0: the server takes a free port and names it once it listens, so
# runs side by side never share a port and the host never starts early.
"$qxserver" --port 0 --packages "$work/packages" \
  --script "$work/server.qxs" >"$work/server.log" 2>&1 &
server=$!
port=""
for _ in $(seq 100); do
  port=$(sed -n 's/^qxserver: listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/server.log")
  [ -n "$port" ] && break
  sleep 0.1
done
if [ -z "$port" ]; then
  echo "the reference server did not start:"
  cat "$work/server.log"
  exit 1
fi
set -- --library "$(hostPath "$library")" --home "$(hostPath "$work")" \
  --server "127.0.0.1:$port" --script "$(hostPath "$work/host.qxs")"
if [ $letter = w ]; then
  "$(dirname "$0")/../../tools/wine-run" "$qxhost" "$@" >"$work/host.log" 2>&1 || true
else
  "$qxhost" "$@" >"$work/host.log" 2>&1 || true
fi
wait "$server" || true
if grep -q "pushing ${letter}c001200.htm" "$work/server.log" &&
  grep -q 'switched to .*qxclnew\.\(so\|dll\) (client version 1200)' "$work/host.log" &&
  grep -q 'replacement client v1.200: console "qx_Ver"' "$work/host.log"; then
  exit 0
fi
echo "the host did not switch to the replacement client:"
cat "$work/server.log" "$work/host.log"
exit 1
