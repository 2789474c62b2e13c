#!/usr/bin/env bash
# Puts an image with `tarveloftp put` over transport tcp and over udt: on
# plain loopback, then through bench/DelayRelay, which holds every segment
# (tcp) or datagram (udt) for DELAY_MS each way and drops LOSS_PERCENT of the
# datagrams. Prints seconds and MiB/s per run.
#
#   bench/udt_transfer.sh                          # 1 GiB, 25 ms each way, 0.5 % loss
#   SIZE_MB=64 RELAY_SIZE_MB=32 bench/udt_transfer.sh   # smaller
#
# Environment: SIZE_MB (1024), RELAY_SIZE_MB (SIZE_MB), DELAY_MS (25),
# LOSS_PERCENT (0.5), BUILD (build-bench) or TOOLS_DIR.
set -euo pipefail
cd "$(dirname "$0")/.."

size_mb=${SIZE_MB:-1024}
relay_size_mb=${RELAY_SIZE_MB:-$size_mb}
delay_ms=${DELAY_MS:-25}
loss=${LOSS_PERCENT:-0.5}
build=${BUILD:-build-bench}

bench_packages=(python3)
bench_targets=(tarveloftp_client tarveloftpd DelayRelay)
source bench/prepare.sh
client="$tools/tarveloftp"
server="$tools/tarveloftpd"
relay="$tools/../bench/DelayRelay"

work=$(mktemp -d /tmp/udt-bench.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket
while True:
    s = socket.socket(); s.bind(("127.0.0.1", 0)); p = s.getsockname()[1]
    try:
        t = socket.socket(); t.bind(("127.0.0.1", p + 1)); u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); u.bind(("127.0.0.1", p)); break
    except OSError: pass
print(p)'
}

head -c $((size_mb << 20)) /dev/urandom >"$work/local.img"
head -c $((relay_size_mb << 20)) "$work/local.img" >"$work/relay.img"

# serve TRANSPORT: starts a server of an empty image as large as the local
# one; prints its port.
serve() {
  local transport=$1 port
  port=$(free_port)
  truncate -s $((size_mb << 20)) "$work/$transport.img"
  printf '[config]\naddress = 127.0.0.1\nport = %s\ntransport = %s\n[disk]\nlun0 = %s\n' \
    "$port" "$transport" "$work/$transport.img" >"$work/$transport.ini"
  "$server" --config "$work/$transport.ini" >"$work/$transport.log" 2>&1 &
  pids+=($!)
  wait_for_port $((port + 1))  # the administration channel comes up with the listener
  echo "$port"
}

# put NAME FILE PORT TRANSPORT
put() {
  local name=$1 file=$2 port=$3 transport=$4 start end bytes
  bytes=$(stat -c %s "$file")
  start=$(now)
  "$client" put "$file" "tarvelo://127.0.0.1:$port/disk/0" --transport "$transport" --quiet
  end=$(now)
  awk -v n="$name" -v s="$start" -v e="$end" -v b="$bytes" \
    'BEGIN { printf "%-40s %8.2f s %8.1f MiB/s\n", n, e - s, b / 1048576 / (e - s) }'
}

tcp_port=$(serve tcp)
udt_port=$(serve udt)
echo "put of ${size_mb} MiB on loopback"
put "tcp" "$work/local.img" "$tcp_port" tcp
put "udt" "$work/local.img" "$udt_port" udt

relay_tcp=$(free_port)
"$relay" tcp "$relay_tcp" "$tcp_port" "$delay_ms" 0 &
pids+=($!)
relay_udp=$(free_port)
"$relay" udp "$relay_udp" "$udt_port" "$delay_ms" "$loss" &
pids+=($!)
wait_for_port "$relay_tcp"
echo "put of ${relay_size_mb} MiB through the relay: ${delay_ms} ms each way, udp loses ${loss} %"
put "tcp, delayed" "$work/relay.img" "$relay_tcp" tcp
put "udt, delayed and lossy" "$work/relay.img" "$relay_udp" udt
