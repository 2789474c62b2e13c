#!/usr/bin/env bash
# Copies an image over loopback in both directions with `tarveloftp get/put`
# against tarveloftpd, with nbdcopy through our nbdkit plugin against the
# same server, and with nbdcopy against `nbdkit file`, then uploads a
# copy with 1% of its 4 KiB blocks changed with `tarveloftp put --merge` and
# with rsync's delta transfer through an rsync daemon, and brings a copy of the
# original up to date with `tarveloftp get --merge` in the same state. Then the same merges
# against `tarveloftpd --block-hash-storage` once its stored hashes are valid:
# the image unchanged and with 1% changed, with the bytes the server read from
# files, next to one BLAKE2b pass over the image on every core, and again
# with --hash-cache keeping the local block hashes between runs. Prints each
# time, the bytes each tool reports sending, the loopback traffic, and the
# ratios.
#
#   bench/client_transfer.sh               # 1 GiB image
#   SIZE_MB=256 bench/client_transfer.sh   # smaller
#   THIN=1 bench/client_transfer.sh        # and a sparse 16 GiB image first
#   THIN=only THIN_GB=1 bench/client_transfer.sh   # only that, smaller
#
# The plain copies run REPEAT times, each tool in turn, so both see the same
# state of the page cache's write-back; the cached merges and rsync also run
# REPEAT times. The report gives medians. Our server
# syncs the image when a connection ends, so put is set beside
# `nbdcopy --flush` (the same durability) as well as nbdcopy's default.
#
# Environment: SIZE_MB (1024), THIN, THIN_GB (16), REPEAT (3), CONNECTIONS for tarveloftp (2), CHUNK (1M),
# BENCH_DIR (a new directory under /var/tmp), BUILD (build-bench, a Release
# build made here), or TOOLS_DIR to use programs already built there.
set -euo pipefail
cd "$(dirname "$0")/.."

size_mb=${SIZE_MB:-1024}
repeat=${REPEAT:-3}
connections=${CONNECTIONS:-2}
chunk=${CHUNK:-1M}
build=${BUILD:-build-bench}

# ---- what the comparison needs ----
bench_packages=(nbdkit libnbd-bin rsync python3)
bench_targets=(tarveloftp_client tarveloftpd FileHashBench nbdkit-tarvelo-plugin)
source bench/prepare.sh
client="$tools/tarveloftp"
server="$tools/tarveloftpd"
file_hash_bench="$tools/../bench/FileHashBench"
plugin="$tools/../nbdkit/nbdkit-tarvelo-plugin.so"

work=${BENCH_DIR:-$(mktemp -d /var/tmp/tarveloftp-bench.XXXXXX)}
mkdir -p "$work"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  [[ -n "${BENCH_DIR:-}" ]] || rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
loopback_bytes() { awk '$1 == "lo:" { print $2 }' /proc/net/dev; }

# Results: one line per run, "name seconds reported_bytes loopback_bytes".
results="$work/results.txt"
: >"$results"
# run NAME REPORTED_BYTES_COMMAND -- COMMAND...: times COMMAND and records
# what it reported sending (the function after -- parses its output).
measure() {
  local name=$1 parse=$2
  shift 3
  sync
  local before start end after
  before=$(loopback_bytes)
  start=$(now)
  "$@" >"$work/out.txt" 2>"$work/err.txt" || {
    echo "$name failed:" >&2
    cat "$work/err.txt" >&2
    exit 1
  }
  end=$(now)
  after=$(loopback_bytes)
  local reported
  reported=$($parse <"$work/out.txt")
  echo "$name $(echo "$end - $start" | bc -l) $reported $((after - before))" >>"$results"
}
parse_tarveloftp() { sed -n 's/.*sent \([0-9]*\) bytes.*/\1/p; s/.*received \([0-9]*\) bytes.*/\1/p' | head -1; }
parse_rsync() { sed -n 's/^Total bytes sent: \([0-9,]*\).*/\1/p' | tr -d ','; }
parse_rsync_received() { sed -n 's/^Total bytes received: \([0-9,]*\).*/\1/p' | tr -d ','; }
parse_none() { echo "-"; }

# Starts an rsync daemon serving $work as module "bench", on port
# $rsync_port; stopped at exit.
start_rsync_daemon() {
  rsync_port=$(free_port)
  cat >"$work/rsyncd.conf" <<EOF
use chroot = false
[bench]
  path = $work
  read only = false
  uid = $(id -u)
  gid = $(id -g)
EOF
  rsync --daemon --no-detach --address 127.0.0.1 --port "$rsync_port" --config "$work/rsyncd.conf" &
  pids+=($!)
  wait_for_port "$rsync_port"
}

# same_thin A B: whether two sparse images hold the same bytes, reading only
# where either has data. cmp reads the holes too, and 16 GiB of them fill
# the page cache with zeros and push out the served images: whichever tool
# ran after a cmp then read its image from the disk.
same_thin() {
  python3 - "$1" "$2" <<'EOF'
import os, sys
def extents(fd, size):
    at = 0
    while at < size:
        try:
            start = os.lseek(fd, at, os.SEEK_DATA)
        except OSError:
            return
        end = os.lseek(fd, start, os.SEEK_HOLE)
        yield start, end
        at = end
a, b = (os.open(path, os.O_RDONLY) for path in sys.argv[1:3])
size = os.fstat(a).st_size
if os.fstat(b).st_size != size:
    sys.exit(f"{sys.argv[1]} and {sys.argv[2]} differ in size")
for first, second in ((a, b), (b, a)):
    for start, end in extents(first, size):
        for at in range(start, end, 1 << 20):
            n = min(1 << 20, end - at)
            if os.pread(first, n, at) != os.pread(second, n, at):
                sys.exit(f"{sys.argv[1]} and {sys.argv[2]} differ in [{at}, {at + n})")
EOF
}

# ---- thin images (THIN=1 adds this, THIN=only runs nothing else) ----
# A THIN_GB image (16) with 1% of its 4 KiB blocks holding data, clustered
# (runs of 1 MiB) and scattered (single blocks), uploaded into an empty
# sparse image and downloaded again, REPEAT times each, beside nbdcopy and
# `nbdkit file`, and once beside rsync --sparse into a new file and back.
thin_images() {
  local gb=${THIN_GB:-16} layout
  local thin_results="$work/thin.txt"
  : >"$thin_results"
  start_rsync_daemon
  for layout in clustered scattered; do
    echo "== thin ${gb} GiB image, $layout" >&2
    rm -f "$work/thin.img" "$work/remote.img" "$work/nbd-remote.img" "$work/download.img"
    truncate -s "${gb}G" "$work/thin.img"
    python3 - "$work/thin.img" "$layout" <<'EOF'
import os, random, sys
path, layout = sys.argv[1], sys.argv[2]
blocks = os.path.getsize(path) // 4096
random.seed(16)
run = 256 if layout == "clustered" else 1
with open(path, "r+b") as f:
    for first in random.sample(range(blocks // run), max(1, blocks // 100 // run)):
        f.seek(first * run * 4096)
        f.write(os.urandom(run * 4096))
EOF
    truncate -s "${gb}G" "$work/remote.img" "$work/nbd-remote.img"
    local port nbd_port server_pid nbdkit_pid
    port=$(free_port)
    printf '[config]\naddress = 127.0.0.1\nport = %s\n\n[disk]\nlun0 = %s\n' "$port" "$work/remote.img" >"$work/server.ini"
    "$server" --config "$work/server.ini" >"$work/server.log" 2>&1 &
    server_pid=$!
    pids+=($server_pid)
    nbd_port=$(free_port)
    nbdkit --foreground --exit-with-parent --ipaddr 127.0.0.1 --port "$nbd_port" file "$work/nbd-remote.img" \
      >"$work/nbdkit.log" 2>&1 &
    nbdkit_pid=$!
    pids+=($nbdkit_pid)
    wait_for_port "$port"
    wait_for_port "$nbd_port"
    local url="tarvelo://127.0.0.1:$port/disk/0" nbd_url="nbd://127.0.0.1:$nbd_port"
    local options=(-q --connections "$connections" --chunk-size "$chunk")
    # Emptied in place: both servers keep the same file.
    empty() { truncate -s 0 "$1"; truncate -s "${gb}G" "$1"; }
    local run
    for run in $(seq "$repeat"); do
      # Every put into an empty sparse image, every get into an empty file.
      empty "$work/remote.img"
      measure "thin-$layout-tarveloftp-put" parse_tarveloftp -- "$client" put "$work/thin.img" "$url" "${options[@]}"
      empty "$work/nbd-remote.img"
      measure "thin-$layout-nbdcopy-put" parse_none -- nbdcopy "$work/thin.img" "$nbd_url"
      # Our server syncs the image when the connection ends: the same durability.
      empty "$work/nbd-remote.img"
      measure "thin-$layout-nbdcopy-put-flush" parse_none -- nbdcopy --flush "$work/thin.img" "$nbd_url"
      rm -f "$work/download.img"
      : >"$work/download.img"
      measure "thin-$layout-tarveloftp-get" parse_tarveloftp -- "$client" get "$url" "$work/download.img" "${options[@]}"
      same_thin "$work/download.img" "$work/thin.img"
      [[ "$run" != 1 ]] ||
        echo "thin-$layout-tarveloftp-get allocated $(du -k "$work/download.img" | cut -f1) KiB" >>"$thin_results"
      rm -f "$work/download.img"
      truncate -s "${gb}G" "$work/download.img"
      measure "thin-$layout-nbdcopy-get" parse_none -- nbdcopy "$nbd_url" "$work/download.img"
      same_thin "$work/download.img" "$work/thin.img"
      [[ "$run" != 1 ]] ||
        echo "thin-$layout-nbdcopy-get allocated $(du -k "$work/download.img" | cut -f1) KiB" >>"$thin_results"
      rm -f "$work/download.img"
    done
    measure "thin-$layout-rsync-put" parse_rsync -- rsync --sparse --stats "$work/thin.img" \
      "rsync://127.0.0.1:$rsync_port/bench/rsync-remote.img"
    measure "thin-$layout-rsync-get" parse_rsync_received -- rsync --sparse --stats \
      "rsync://127.0.0.1:$rsync_port/bench/rsync-remote.img" "$work/download.img"
    same_thin "$work/download.img" "$work/thin.img"
    echo "thin-$layout-rsync-get allocated $(du -k "$work/download.img" | cut -f1) KiB" >>"$thin_results"
    kill "$server_pid" "$nbdkit_pid"
    wait "$server_pid" "$nbdkit_pid" || true
    unset 'pids[-1]'
    unset 'pids[-1]'
    same_thin "$work/remote.img" "$work/thin.img"
    same_thin "$work/nbd-remote.img" "$work/thin.img"
    rm -f "$work/rsync-remote.img"
  done
  echo "thin image ${gb} GiB, 1% of 4 KiB blocks with data; tarveloftp: $connections connections, chunk $chunk"
  echo "put and get: median (range) of $repeat runs; rsync: one run"
  grep '^thin-' "$results" | python3 -c '
import sys
runs = {}
for line in sys.stdin:
    name, seconds, reported, loopback = line.split()
    runs.setdefault(name, []).append((float(seconds), reported, loopback))
print("%-34s %8s %13s %14s %15s" % ("run", "seconds", "(range)", "reported bytes", "loopback bytes"))
for name, taken in runs.items():
    taken.sort()
    seconds, reported, loopback = taken[len(taken) // 2]
    spread = f"{taken[0][0]:.2f}-{taken[-1][0]:.2f}" if len(taken) > 1 else ""
    print(f"{name:34} {seconds:8.2f} {spread:>13} {reported:>14} {loopback:>15}")
'
  cat "$thin_results"
  rm -f "$work/thin.img" "$work/remote.img" "$work/nbd-remote.img" "$work/download.img"
}
if [[ -n "${THIN:-}" ]]; then
  thin_images
  [[ "$THIN" != only ]] || exit 0
fi

echo "== making a ${size_mb} MiB image in $work" >&2
head -c "$((size_mb << 20))" /dev/urandom >"$work/original.img"
cp "$work/original.img" "$work/remote.img"
: >"$work/download.img"
# 1% of the 4 KiB blocks, at random places, get new random bytes.
python3 - "$work/original.img" "$work/changed.img" <<'EOF'
import os, random, shutil, sys
source, target = sys.argv[1], sys.argv[2]
shutil.copyfile(source, target)
blocks = os.path.getsize(source) // 4096
random.seed(4096)
with open(target, "r+b") as f:
    for block in random.sample(range(blocks), max(1, blocks // 100)):
        f.seek(block * 4096)
        f.write(os.urandom(4096))
EOF
changed_blocks=$(( (size_mb << 20) / 4096 / 100 ))

# ---- plain copies: tarveloftpd and nbdkit file side by side ----
cp "$work/original.img" "$work/nbd-remote.img"
port=$(free_port)
printf '[config]\naddress = 127.0.0.1\nport = %s\n\n[disk]\nlun0 = %s\n' "$port" "$work/remote.img" >"$work/server.ini"
"$server" --config "$work/server.ini" >"$work/server.log" 2>&1 &
pids+=($!)
wait_for_port "$port"
url="tarvelo://127.0.0.1:$port/disk/0"
nbd_port=$(free_port)
nbdkit --foreground --exit-with-parent --ipaddr 127.0.0.1 --port "$nbd_port" file "$work/nbd-remote.img" \
  >"$work/nbdkit.log" 2>&1 &
pids+=($!)
wait_for_port "$nbd_port"
nbd_url="nbd://127.0.0.1:$nbd_port"
options=(-q --connections "$connections" --chunk-size "$chunk")
# The plugin serves the LUN on two sockets: read-only for the downloads (so
# nbdcopy may open several connections), read-write for the uploads.
nbdkit --foreground --exit-with-parent -r -U "$work/plugin-ro.sock" "$plugin" "$url" >"$work/plugin-ro.log" 2>&1 &
pids+=($!)
nbdkit --foreground --exit-with-parent -U "$work/plugin-rw.sock" "$plugin" "$url" >"$work/plugin-rw.log" 2>&1 &
pids+=($!)
while [[ ! -S "$work/plugin-ro.sock" || ! -S "$work/plugin-rw.sock" ]]; do sleep 0.05; done
plugin_ro="nbd+unix:///?socket=$work/plugin-ro.sock" plugin_rw="nbd+unix:///?socket=$work/plugin-rw.sock"

echo "== get and put, $repeat times each" >&2
for _ in $(seq "$repeat"); do
  measure "tarveloftp-get-null" parse_tarveloftp -- "$client" get "$url" /dev/null "${options[@]}"
  # "null:" is nbdcopy's own discarding destination: given /dev/null it treats
  # it as a pipe and copies one request at a time, at half speed.
  measure "nbdcopy-get-null" parse_none -- nbdcopy "$nbd_url" null:
  measure "tarveloftp-get-file" parse_tarveloftp -- "$client" get "$url" "$work/download.img" "${options[@]}"
  cmp "$work/download.img" "$work/original.img"
  measure "nbdcopy-get-file" parse_none -- nbdcopy "$nbd_url" "$work/download.img"
  cmp "$work/download.img" "$work/original.img"
  measure "tarveloftp-put" parse_tarveloftp -- "$client" put "$work/original.img" "$url" "${options[@]}"
  measure "nbdcopy-put-flush" parse_none -- nbdcopy --flush "$work/original.img" "$nbd_url"
  measure "nbdcopy-put" parse_none -- nbdcopy "$work/original.img" "$nbd_url"
  measure "plugin-get-file" parse_none -- nbdcopy "$plugin_ro" "$work/download.img"
  cmp "$work/download.img" "$work/original.img"
  measure "plugin-put-flush" parse_none -- nbdcopy --flush "$work/original.img" "$plugin_rw"
done
for _ in 1 2 3; do kill "${pids[-1]}"; wait "${pids[-1]}" || true; unset 'pids[-1]'; done
cmp "$work/nbd-remote.img" "$work/original.img"
rm -f "$work/nbd-remote.img"

echo "== tarveloftp put --merge" >&2
measure "tarveloftp-merge-1%" parse_tarveloftp -- "$client" put "$work/changed.img" "$url" --merge -q
# The same 1% the other way: the image now holds the changes, the copy not.
cp "$work/original.img" "$work/download.img"
measure "tarveloftp-get-merge-1%" parse_tarveloftp -- "$client" get "$url" "$work/download.img" --merge -q
cmp "$work/download.img" "$work/changed.img"
kill "${pids[-1]}"; wait "${pids[-1]}" || true; unset 'pids[-1]'
cmp "$work/remote.img" "$work/changed.img"

# ---- tarveloftpd --block-hash-storage: merges once the stored hashes are valid ----
cp "$work/original.img" "$work/remote.img"
rm -f "$work/remote.img.hash" "$work/remote.img.hash.journal"
port=$(free_port)
printf '[config]\naddress = 127.0.0.1\nport = %s\n\n[disk]\nlun0 = %s\n' "$port" "$work/remote.img" >"$work/server.ini"
"$server" --config "$work/server.ini" --block-hash-storage >"$work/server.log" 2>&1 &
pids+=($!)
server_pid=$!
wait_for_port "$port"
url="tarvelo://127.0.0.1:$port/disk/0"
# Bytes the server read through read(2)/pread(2): image and hash file (socket
# receives are not counted).
server_file_reads() { awk '$1 == "rchar:" { print $2 }' "/proc/$server_pid/io"; }
file_reads="$work/file_reads.txt"
: >"$file_reads"
measure_reads() {
  local name=$1 before
  before=$(server_file_reads)
  measure "$@"
  echo "$name $(( $(server_file_reads) - before ))" >>"$file_reads"
}
echo "== tarveloftp, block-hash storage" >&2
# The first merge stores every block's hash; the measured ones start from valid entries.
measure_reads "bhs-merge-first" parse_tarveloftp -- "$client" put "$work/original.img" "$url" --merge -q
measure_reads "bhs-merge-unchanged" parse_tarveloftp -- "$client" put "$work/original.img" "$url" --merge -q
measure_reads "bhs-merge-1%" parse_tarveloftp -- "$client" put "$work/changed.img" "$url" --merge -q
cp "$work/original.img" "$work/download.img"
measure_reads "bhs-get-merge-1%" parse_tarveloftp -- "$client" get "$url" "$work/download.img" --merge -q
cmp "$work/download.img" "$work/changed.img"
# The same with the local block hashes kept between runs: the first run makes
# the cache, the measured ones hash only what changed since.
cache="$work/original.hashes"
measure_reads "bhs-cache-first" parse_tarveloftp -- "$client" put "$work/original.img" "$url" --merge -q --hash-cache "$cache"
for _ in $(seq "$repeat"); do
  measure_reads "bhs-cache-unchanged" parse_tarveloftp -- "$client" put "$work/original.img" "$url" --merge -q --hash-cache "$cache"
  measure_reads "bhs-cache-1%" parse_tarveloftp -- "$client" put "$work/changed.img" "$url" --merge -q --hash-cache "$cache"
  "$client" put "$work/original.img" "$url" --merge -q --hash-cache "$cache" >/dev/null  # back to the original
done
"$client" put "$work/changed.img" "$url" --merge -q >/dev/null
kill "$server_pid"; wait "$server_pid" || true; unset 'pids[-1]'
cmp "$work/remote.img" "$work/changed.img"
"$client" verify-hashes "$work/remote.img" >&2
"$file_hash_bench" "$work/original.img" >"$work/file_hash.txt"
cat "$work/file_hash.txt" >&2

# ---- rsync daemon, delta transfer of the changed image ----
cp "$work/original.img" "$work/remote.img"
[[ -n "${rsync_port:-}" ]] || start_rsync_daemon
port=$rsync_port
echo "== rsync, $repeat times" >&2
for _ in $(seq "$repeat"); do
  cp "$work/original.img" "$work/remote.img"
  measure "rsync-merge-1%" parse_rsync -- rsync --inplace --no-whole-file --block-size=4096 --ignore-times --stats \
    "$work/changed.img" "rsync://127.0.0.1:$port/bench/remote.img"
  cmp "$work/remote.img" "$work/changed.img"
done

# ---- report ----
python3 - "$results" "$size_mb" "$changed_blocks" "$connections" "$chunk" "$file_reads" "$work/file_hash.txt" <<'EOF'
import re, sys
path, size_mb, changed_blocks, connections, chunk, reads_path, file_hash_path = sys.argv[1:]
samples = {}
for line in open(path):
    name, seconds, reported, loopback = line.split()
    samples.setdefault(name, []).append((float(seconds), reported, int(loopback)))
# The median run of each name (repeated runs) stands for it.
runs = {name: sorted(taken)[len(taken) // 2] for name, taken in samples.items()}
size = int(size_mb) << 20
print(f"image {size_mb} MiB, 2 cores, loopback; tarveloftp: {connections} connections, chunk {chunk}")
print(f"changed for the merge: {changed_blocks} blocks of 4 KiB = {int(changed_blocks) * 4096} bytes")
print(f"{'run':24} {'seconds':>8} {'(range)':>13} {'MB/s':>6} {'reported sent':>14} {'loopback bytes':>15}")
for name, (seconds, reported, loopback) in runs.items():
    rate = size / seconds / 1e6
    times = [taken[0] for taken in samples[name]]
    spread = f"{min(times):.2f}-{max(times):.2f}" if len(times) > 1 else ""
    print(f"{name:24} {seconds:8.2f} {spread:>13} {rate:6.0f} {reported:>14} {loopback:15d}")
def ratio(a, b):
    if a in runs and b in runs:
        print(f"{a} / {b}: time x{runs[a][0] / runs[b][0]:.2f}")
print()
ratio("tarveloftp-get-null", "nbdcopy-get-null")
ratio("tarveloftp-get-file", "nbdcopy-get-file")
ratio("tarveloftp-put", "nbdcopy-put-flush")
ratio("tarveloftp-put", "nbdcopy-put")
ratio("plugin-get-file", "tarveloftp-get-file")
ratio("plugin-put-flush", "tarveloftp-put")
ratio("tarveloftp-merge-1%", "rsync-merge-1%")
ratio("tarveloftp-get-merge-1%", "tarveloftp-merge-1%")
merge = runs.get("tarveloftp-merge-1%")
if merge and merge[1].isdigit():
    print(f"put --merge sent {int(merge[1]) / (int(changed_blocks) * 4096):.3f} x the changed bytes")
print()
print("block-hash storage (stored hashes valid before each measured run):")
for line in open(reads_path):
    name, count = line.split()
    print(f"  {name}: the server read {int(count)} bytes from files ({int(count) / size:.4f} x the image)")
ratio("bhs-merge-1%", "rsync-merge-1%")
ratio("bhs-get-merge-1%", "bhs-merge-1%")
ratio("bhs-cache-1%", "rsync-merge-1%")
ratio("bhs-cache-unchanged", "bhs-merge-unchanged")
floor = re.search(r": ([0-9.]+) s", open(file_hash_path).read())
if floor and "bhs-merge-unchanged" in runs:
    print(f"bhs-merge-unchanged / one BLAKE2b pass on every core ({floor.group(1)} s): "
          f"x{runs['bhs-merge-unchanged'][0] / float(floor.group(1)):.2f}")
EOF
