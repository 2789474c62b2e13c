#!/usr/bin/env bash
# Several clients at once, and the latency of a small read while one large
# transfer runs, over loopback: tarveloftp against tarveloftpd beside nbdcopy
# against one `nbdkit file dir=...` that serves the same files.
#
#   a   CLIENTS clients start together, each getting its own image of
#       SIZE_MB/CLIENTS MiB to /dev/null; nbdcopy x CLIENTS from one nbdkit,
#       to its own discarding destination "null:" (given /dev/null, nbdcopy
#       treats it as a pipe and copies one request at a time, at half speed).
#       The time is the batch's: from the start until the last one ends.
#   b   the same with put, which ends once the server has synced the image,
#       against nbdcopy --flush.
#   c   a whole `tarveloftp get --offset 0 --length 4096` process, started
#       every PROBE_INTERVAL_MS ms and timed from its start to its exit,
#       against `nbdcopy` of a 4 KiB export of the same nbdkit, on the same
#       server as the transfer:
#       c0  on an idle server (PROBES probes), what a process costs alone;
#       c1  while another client gets a SIZE_MB MiB image to /dev/null;
#       c2  while another client puts it (nbdcopy --flush for the peer);
#       c3  while another client runs `put --merge` of an identical copy
#           against `tarveloftpd --block-hash-storage` whose hash file it has
#           just created, so the server hashes the whole image from its
#           bytes. No peer.
#
#   bench/parallel_clients.sh
#   SIZE_MB=64 REPEAT=1 CLIENTS=2 THREADS_LIST=default bench/parallel_clients.sh
#
# Every tarveloftpd run is made once per entry of THREADS_LIST: "default"
# starts the server without --threads, a number N with `--threads N`. Each
# case runs REPEAT times, tarveloftpd and nbdkit in turn, each server started
# afresh for it; the report gives medians with the range of the runs, the
# probes' median and maximum over all runs, and the ratios
# tarveloftp / nbdcopy.
#
# Environment: SIZE_MB (1024), CLIENTS (4), REPEAT (3), THREADS_LIST
# ("1 default"), CONNECTIONS per tarveloftp client (2), CHUNK (1M),
# PROBE_INTERVAL_MS (20), PROBES on the idle server (20), BENCH_DIR (a new
# directory under /var/tmp), BUILD (build-bench, a Release build made here),
# or TOOLS_DIR to use programs already built there.
set -euo pipefail
cd "$(dirname "$0")/.."

size_mb=${SIZE_MB:-1024}
clients=${CLIENTS:-4}
repeat=${REPEAT:-3}
threads_list=${THREADS_LIST:-1 default}
connections=${CONNECTIONS:-2}
chunk=${CHUNK:-1M}
probe_interval_ms=${PROBE_INTERVAL_MS:-20}
idle_probes=${PROBES:-20}
build=${BUILD:-build-bench}

for number in "$size_mb" "$clients" "$repeat" "$connections" "$probe_interval_ms" "$idle_probes"; do
  [[ "$number" =~ ^[1-9][0-9]*$ ]] || { echo "not a positive number: $number" >&2; exit 2; }
done
read -r -a threads_values <<<"$threads_list"
[[ ${#threads_values[@]} -gt 0 ]] || { echo "THREADS_LIST is empty" >&2; exit 2; }
for threads in "${threads_values[@]}"; do
  [[ "$threads" == default || "$threads" =~ ^[1-9][0-9]*$ ]] || {
    echo "THREADS_LIST entries are \"default\" or a number, not \"$threads\"" >&2
    exit 2
  }
done

# ---- what the comparison needs ----
bench_packages=(nbdkit libnbd-bin python3 bc)
bench_targets=(tarveloftp_client tarveloftpd)
source bench/prepare.sh
client="$tools/tarveloftp"
server="$tools/tarveloftpd"
for threads in "${threads_values[@]}"; do
  if [[ "$threads" != default ]] && ! "$server" --help 2>&1 | grep -q -- '--threads'; then
    echo "$server has no --threads option: run with THREADS_LIST=default" >&2
    exit 2
  fi
done

work=${BENCH_DIR:-$(mktemp -d /var/tmp/tarveloftp-parallel.XXXXXX)}
mkdir -p "$work"
# Every process started in the background, until it has been waited for.
pids=()
forget() {
  local kept=() pid gone
  for pid in "${pids[@]}"; do
    for gone in "$@"; do [[ "$pid" == "$gone" ]] && continue 2; done
    kept+=("$pid")
  done
  pids=("${kept[@]}")
}
# Clients go before the servers they use, so none reports a lost server.
cleanup() {
  local index
  for ((index = ${#pids[@]} - 1; index >= 0; index--)); do kill "${pids[$index]}" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  [[ -n "${BENCH_DIR:-}" ]] || rm -rf "$work"
}
trap cleanup EXIT
# Background processes ignore SIGINT here, so Ctrl-C and SIGTERM both end
# the script, and the EXIT trap stops them.
trap 'exit 130' INT
trap 'exit 143' TERM HUP

# A port whose successor is free too: tarveloftpd's administration channel
# listens one port above its clients' port.
free_port() {
  python3 - <<'EOF'
import socket
while True:
    first = socket.socket()
    first.bind(("127.0.0.1", 0))
    port = first.getsockname()[1]
    second = socket.socket()
    try:
        second.bind(("127.0.0.1", port + 1))
    except OSError:
        continue
    print(port)
    break
EOF
}

# ---- images ----
# source/ holds what clients send and compare against; remote/ is what both
# servers serve, one at a time, so both read the same files.
part_bytes=$(( (size_mb << 20) / clients / 4096 * 4096 ))
[[ $part_bytes -gt 0 ]] || { echo "SIZE_MB/CLIENTS is less than 4 KiB" >&2; exit 2; }
echo "== making images in $work: $clients x $((part_bytes >> 10)) KiB, $size_mb MiB, 4 KiB" >&2
mkdir -p "$work/source" "$work/remote"
images=()
for ((i = 0; i < clients; i++)); do images+=("client$i"); done
for name in "${images[@]}"; do head -c "$part_bytes" /dev/urandom >"$work/source/$name.img"; done
head -c "$((size_mb << 20))" /dev/urandom >"$work/source/big.img"
head -c 4096 /dev/urandom >"$work/source/probe.img"
for name in "${images[@]}" big probe; do cp "$work/source/$name.img" "$work/remote/$name.img"; done
sync

# ---- servers ----
server_pid=""
server_port=""
# start_server THREADS [ARGUMENTS...]: tarveloftpd on a free port, one target
# per image, each image as its LUN 0.
start_server() {
  local threads=$1
  shift
  local threads_arguments=()
  [[ "$threads" == default ]] || threads_arguments=(--threads "$threads")
  server_port=$(free_port)
  {
    printf '[config]\naddress = 127.0.0.1\nport = %s\n' "$server_port"
    for name in "${images[@]}" big probe; do printf '\n[%s]\nlun0 = %s\n' "$name" "$work/remote/$name.img"; done
  } >"$work/server.ini"
  "$server" --config "$work/server.ini" "${threads_arguments[@]}" "$@" >>"$work/server.log" 2>&1 &
  server_pid=$!
  pids+=("$server_pid")
  wait_for_port "$server_port"
}
# The server applies and syncs what clients wrote before it exits, so a
# failure there is a failure of the run.
stop_server() {
  kill "$server_pid"
  local status=0
  wait "$server_pid" || status=$?
  forget "$server_pid"
  if [[ $status -ne 0 ]]; then
    echo "tarveloftpd exited with status $status:" >&2
    tail -20 "$work/server.log" >&2
    exit 1
  fi
}
nbd_pid=""
nbd_port=""
start_nbdkit() {
  nbd_port=$(free_port)
  nbdkit --foreground --exit-with-parent --ipaddr 127.0.0.1 --port "$nbd_port" file dir="$work/remote" \
    >>"$work/nbdkit.log" 2>&1 &
  nbd_pid=$!
  pids+=("$nbd_pid")
  wait_for_port "$nbd_port"
}
stop_nbdkit() {
  kill "$nbd_pid"
  local status=0
  wait "$nbd_pid" || status=$?
  forget "$nbd_pid"
  # 143: nbdkit ends on SIGTERM by the signal.
  if [[ $status -ne 0 && $status -ne 143 ]]; then
    echo "nbdkit exited with status $status:" >&2
    tail -20 "$work/nbdkit.log" >&2
    exit 1
  fi
}
url() { echo "tarvelo://127.0.0.1:$server_port/$1/0"; }
nbd_url() { echo "nbd://127.0.0.1:$nbd_port/$1.img"; }
options=(-q --connections "$connections" --chunk-size "$chunk")

# Results: one line per run, "CASE TOOL SECONDS LATENCIES", the latencies of
# the probes in ms joined by commas ("-" where nothing probed).
results="$work/results.txt"
: >"$results"

# ---- a, b: a batch of clients at once ----
# Each command function runs client $1 of the batch; it execs, so that the
# process waited for and killed is the client itself.
tarveloftp_get() { exec "$client" get "$(url "client$1")" /dev/null "${options[@]}"; }
nbdcopy_get() { exec nbdcopy "$(nbd_url "client$1")" null:; }
tarveloftp_put() { exec "$client" put "$work/source/client$1.img" "$(url "client$1")" "${options[@]}"; }
nbdcopy_put() { exec nbdcopy --flush "$work/source/client$1.img" "$(nbd_url "client$1")"; }

# run_batch CASE TOOL COMMAND_FUNCTION: starts every client at once and
# times until the last one has ended.
run_batch() {
  local case=$1 tool=$2 command=$3 i start end failed=0
  local batch=()
  sync
  start=$(now)
  for ((i = 0; i < clients; i++)); do
    "$command" "$i" >"$work/out.$i" 2>"$work/err.$i" &
    batch+=($!)
    pids+=($!)
  done
  for i in "${!batch[@]}"; do
    if ! wait "${batch[$i]}"; then
      echo "$case $tool: client $i failed:" >&2
      cat "$work/err.$i" >&2
      failed=1
    fi
  done
  end=$(now)
  forget "${batch[@]}"
  [[ $failed -eq 0 ]] || exit 1
  echo "$case $tool $(echo "$end - $start" | bc -l) -" >>"$results"
}

# ---- c: probes beside one transfer ----
# probe.py CASE TOOL INTERVAL_MS COUNT -- TRANSFER... -- PROBE...: starts the
# transfer and, until it has ended, one probe after another with INTERVAL_MS
# between them; with no transfer, COUNT probes. Every exit status is checked.
cat >"$work/probe.py" <<'EOF'
import signal, subprocess, sys, time

case, tool, interval, count = sys.argv[1], sys.argv[2], float(sys.argv[3]) / 1000, int(sys.argv[4])
rest = sys.argv[5:]
middle = rest.index("--", 1)
transfer_command, probe_command = rest[1:middle], rest[middle + 1:]
children = []

def stop_children(*_):
    for child in children:
        if child.poll() is None:
            child.kill()
            child.wait()
    sys.exit(1)

signal.signal(signal.SIGTERM, stop_children)

def fail(what, child, errors):
    sys.stderr.write(f"{case} {tool}: {what} failed with status {child.returncode}:\n")
    errors.seek(0)
    sys.stderr.write(errors.read().decode(errors="replace"))
    stop_children()

latencies = []
transfer = None
with open("transfer.err", "w+b") as transfer_errors, open("probe.err", "w+b") as probe_errors:
    started = time.monotonic()
    if transfer_command:
        transfer = subprocess.Popen(transfer_command, stdout=open("transfer.out", "wb"), stderr=transfer_errors)
        children.append(transfer)
    while True:
        probe_errors.seek(0)
        probe_errors.truncate()
        began = time.monotonic()
        probe = subprocess.Popen(probe_command, stdout=subprocess.DEVNULL, stderr=probe_errors)
        children.append(probe)
        probe.wait()
        latencies.append((time.monotonic() - began) * 1000)
        children.remove(probe)
        if probe.returncode != 0:
            fail("probe", probe, probe_errors)
        if transfer is None:
            if len(latencies) >= count:
                break
        elif transfer.poll() is not None:
            break
        time.sleep(interval)
    seconds = "-"
    if transfer is not None:
        transfer.wait()
        seconds = f"{time.monotonic() - started:.4f}"
        if transfer.returncode != 0:
            fail("transfer", transfer, transfer_errors)
print(case, tool, seconds, ",".join(f"{latency:.3f}" for latency in latencies))
EOF

# run_probes CASE TOOL -- TRANSFER... -- PROBE...
run_probes() {
  local case=$1 tool=$2
  shift 2
  sync
  (cd "$work" && exec python3 probe.py "$case" "$tool" "$probe_interval_ms" "$idle_probes" "$@") >>"$results" &
  local pid=$!
  pids+=("$pid")
  local status=0
  wait "$pid" || status=$?
  forget "$pid"
  [[ $status -eq 0 ]] || exit 1
}
# The probe command for the server running now, into the array probe.
tarveloftp_probe() { probe=("$client" get "$(url probe)" /dev/null --offset 0 --length 4096 --connections 1 -q); }
nbdcopy_probe() { probe=(nbdcopy --connections=1 "$(nbd_url probe)" null:); }

# Each case: every THREADS_LIST entry, then nbdkit, REPEAT times over.
for ((run = 1; run <= repeat; run++)); do
  echo "== run $run of $repeat: a) $clients gets at once" >&2
  for threads in "${threads_values[@]}"; do
    start_server "$threads"
    run_batch a "threads=$threads" tarveloftp_get
    stop_server
  done
  start_nbdkit
  run_batch a nbdcopy nbdcopy_get
  stop_nbdkit

  echo "== run $run of $repeat: b) $clients puts at once" >&2
  for threads in "${threads_values[@]}"; do
    start_server "$threads"
    run_batch b "threads=$threads" tarveloftp_put
    stop_server
  done
  start_nbdkit
  run_batch b nbdcopy nbdcopy_put
  stop_nbdkit

  echo "== run $run of $repeat: c0-c2) probes: idle, during a get, during a put" >&2
  for threads in "${threads_values[@]}"; do
    start_server "$threads"
    tarveloftp_probe
    run_probes c0 "threads=$threads" -- -- "${probe[@]}"
    run_probes c1 "threads=$threads" -- "$client" get "$(url big)" /dev/null "${options[@]}" -- "${probe[@]}"
    run_probes c2 "threads=$threads" -- "$client" put "$work/source/big.img" "$(url big)" "${options[@]}" \
      -- "${probe[@]}"
    stop_server
  done
  start_nbdkit
  nbdcopy_probe
  run_probes c0 nbdcopy -- -- "${probe[@]}"
  run_probes c1 nbdcopy -- nbdcopy "$(nbd_url big)" null: -- "${probe[@]}"
  run_probes c2 nbdcopy -- nbdcopy --flush "$work/source/big.img" "$(nbd_url big)" -- "${probe[@]}"
  stop_nbdkit

  echo "== run $run of $repeat: c3) probes during a merge against a new hash file" >&2
  for threads in "${threads_values[@]}"; do
    # A stopped server has written its hash file out; removing it leaves no
    # valid entry for the next one.
    rm -f "$work/remote/big.img.hash" "$work/remote/big.img.hash.journal"
    start_server "$threads" --block-hash-storage
    tarveloftp_probe
    run_probes c3 "threads=$threads" -- "$client" put "$work/source/big.img" "$(url big)" --merge -q \
      -- "${probe[@]}"
    stop_server
    # The copy is identical: a merge that sent anything compared wrongly.
    grep -q ' sent 0 bytes' "$work/transfer.out" || {
      echo "c3 threads=$threads: the merge of an identical copy sent data:" >&2
      cat "$work/transfer.out" >&2
      exit 1
    }
  done
done
# The block-hash server keeps hash files beside the probe's image as well.
rm -f "$work/remote/"*.hash "$work/remote/"*.hash.journal
for name in "${images[@]}" big probe; do cmp "$work/source/$name.img" "$work/remote/$name.img"; done

# ---- report ----
python3 - "$results" "$size_mb" "$clients" "$part_bytes" "$repeat" "$connections" "$chunk" \
  "$probe_interval_ms" "${threads_values[@]}" <<'EOF'
import statistics, sys
path, size_mb, clients, part_bytes, repeat, connections, chunk, interval = sys.argv[1:9]
threads = [f"threads={value}" for value in sys.argv[9:]]
tools = threads + ["nbdcopy"]
seconds, latencies = {}, {}
for line in open(path):
    case, tool, taken, probes = line.split()
    if taken != "-":
        seconds.setdefault((case, tool), []).append(float(taken))
    if probes != "-":
        latencies.setdefault((case, tool), []).extend(float(value) for value in probes.split(","))

def time_cell(key):
    if key not in seconds:
        return "-"
    taken = seconds[key]
    spread = f" ({min(taken):.2f}-{max(taken):.2f})" if len(taken) > 1 else ""
    return f"{statistics.median(taken):.2f} s{spread}"

def probe_cell(key):
    if key not in latencies:
        return "-"
    values = latencies[key]
    return f"{statistics.median(values):.1f} / {max(values):.1f} ms"

cases = [
    ("a", f"{clients} x get {int(part_bytes) >> 20} MiB"),
    ("b", f"{clients} x put {int(part_bytes) >> 20} MiB"),
    ("c0", "probe, idle server"),
    ("c1", f"probe during get {size_mb} MiB"),
    ("c2", f"probe during put {size_mb} MiB"),
    ("c3", f"probe during cold HASH {size_mb} MiB"),
]
print(f"loopback; {repeat} run(s) each; tarveloftp: {connections} connections, chunk {chunk}; "
      f"nbdcopy: its defaults, nbdkit file dir=")
print(f"a, b: wall time of the batch, median (range). c: 4 KiB probe processes every {interval} ms, "
      f"p50 / max of their latency from start to exit, over all runs")
names = [f"tarveloftp {tool}" for tool in threads] + ["nbdcopy"] + [f"ratio {tool}" for tool in threads]
width = max(24, max(len(name) for name in names) + 2)
header = f"{'case':34}" + "".join(f"{name:>{width}}" for name in names)
print(header)
for case, title in cases:
    probed = case.startswith("c")
    cell = probe_cell if probed else time_cell
    row = f"{case + ' ' + title:34}" + "".join(f"{cell((case, tool)):>{width}}" for tool in tools)
    for tool in threads:
        ours, peer = (case, tool), (case, "nbdcopy")
        if probed and ours in latencies and peer in latencies:
            ratio = (f"x{statistics.median(latencies[ours]) / statistics.median(latencies[peer]):.2f} / "
                     f"x{max(latencies[ours]) / max(latencies[peer]):.2f}")
        elif not probed and ours in seconds and peer in seconds:
            ratio = f"x{statistics.median(seconds[ours]) / statistics.median(seconds[peer]):.2f}"
        else:
            ratio = "-"
        row += f"{ratio:>{width}}"
    print(row)
print()
print("the probed transfers: time, median (range); probes taken")
for case, title in cases[3:]:
    for tool in tools:
        if (case, tool) in seconds:
            print(f"  {case} {tool:16} {time_cell((case, tool)):>22}  {len(latencies[(case, tool)]):5d} probes")
EOF
