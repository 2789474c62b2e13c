# Sourced by the benchmark scripts: installs the Debian packages named in
# $bench_packages that are missing, and sets $tools to a directory holding
# the programs, building $bench_targets in a Release build ($build) unless
# TOOLS_DIR names one already built. Also defines the helpers both use.

wait_for_port() {
  for _ in $(seq 200); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.05
  done
  echo "nothing listens on port $1" >&2
  return 1
}
now() { date +%s.%N; }

missing=()
for package in "${bench_packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
if [[ ${#missing[@]} -gt 0 ]]; then
  echo "installing ${missing[*]}" >&2
  sudo=""
  [[ $(id -u) -eq 0 ]] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

tools=${TOOLS_DIR:-}
if [[ -z "$tools" ]]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARVELOFTP_BUILD_TESTS=OFF \
        -DTARVELOFTP_BUILD_BENCHMARKS=ON >/dev/null
  cmake --build "$build" -j "$(nproc)" --target "${bench_targets[@]}" >/dev/null
  tools="$PWD/$build/tools"
fi
