#!/usr/bin/env bash
# Times `tarveloftp get` and `put` of a 256 MiB image over loopback at
# --bwlimit 64M with two connections: each should take 4 s, within 10 %,
# since the limit is shared by the connections. get writes to standard
# output, compared with the image as it arrives, so that no disk sync is
# timed with it. Prints each time and
# whether it is within bounds; exits non-zero when one is not.
#
#   bench/bandwidth_limit.sh
#
# Environment: SIZE_MB (256), RATE_MB (64), BUILD (build-bench, a Release
# build made here), or TOOLS_DIR to use programs already built there.
set -euo pipefail
cd "$(dirname "$0")/.."

size_mb=${SIZE_MB:-256}
rate_mb=${RATE_MB:-64}
build=${BUILD:-build-bench}
bench_packages=(python3 bc)
bench_targets=(tarveloftp_client tarveloftpd)
source bench/prepare.sh

work=$(mktemp -d /var/tmp/tarveloftp-bwlimit.XXXXXX)
server_pid=""
cleanup() {
  [[ -z "$server_pid" ]] || { kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; }
  rm -rf "$work"
}
trap cleanup EXIT

head -c "$((size_mb << 20))" /dev/urandom >"$work/remote.img"
cp "$work/remote.img" "$work/local.img"
# The server syncs the image when a session ends: not our setup's writes.
sync
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf '[config]\naddress = 127.0.0.1\nport = %s\n\n[disk]\nlun0 = %s\n' "$port" "$work/remote.img" >"$work/server.ini"
"$tools/tarveloftpd" --config "$work/server.ini" >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 200); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.05; done
url="tarvelo://127.0.0.1:$port/disk/0"

expected=$(echo "$size_mb / $rate_mb" | bc -l)
failures=0
run() {
  local name=$1 start end elapsed verdict
  start=$(date +%s.%N)
  bash -o pipefail -c "$2" >/dev/null
  end=$(date +%s.%N)
  elapsed=$(echo "$end - $start" | bc -l)
  if (($(echo "$elapsed >= $expected * 0.9 && $elapsed <= $expected * 1.1" | bc -l))); then
    verdict="within 10 %"
  else
    verdict="OUTSIDE 10 %"
    failures=$((failures + 1))
  fi
  printf '%-4s %d MiB at --bwlimit %dM: %.2f s (expected %.2f s, %s)\n' "$name" "$size_mb" "$rate_mb" "$elapsed" \
    "$expected" "$verdict"
}
client="'$tools/tarveloftp'"
run get "$client get $url - --bwlimit ${rate_mb}M -q | cmp - '$work/remote.img'"
run put "$client put '$work/local.img' $url --bwlimit ${rate_mb}M -q"
exit $((failures > 0))
