#!/bin/sh
# The reference host switches to the replacement client: the reference
# server wants client 1.200, whose kept copy the client finds and prepares;
# the host unloads the client at the next frame boundary, loads qxclnew in
# its place and carries on with it.
#   host_switch.sh QXHOST QXSERVER CLIENT_LIBRARY REPLACEMENT_LIBRARY
set -eu
qxhost=$1 qxserver=$2 library=$3 replacement=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/qx/dll"
cp "$replacement" "$work/qx/dll/lc001200.so"
port=$((20000 + $$ % 10000))
printf 'control 1200 0 1,2,3,4 guid\nwait 1500\nquit\n' >"$work/server.qxs"
printf '@wait 2000\nqx_Ver\n@wait 300\n@quit\n' >"$work/host.qxs"
"$qxserver" --port "$port" --script "$work/server.qxs" >"$work/server.log" 2>&1 &
server=$!
sleep 0.3
"$qxhost" --library "$library" --home "$work" --server "127.0.0.1:$port" \
  --script "$work/host.qxs" >"$work/host.log" 2>&1 || true
wait "$server" || true
if grep -q 'switched to .*qxclnew.so (client version 1200)' "$work/host.log" &&
  grep -q 'replacement client v1.200: console "qx_Ver"' "$work/host.log"; then
  exit 0
fi
echo "the host did not switch to the replacement client:"
cat "$work/server.log" "$work/host.log"
exit 1
