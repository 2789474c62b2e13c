#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds a program against it
# twice: with find_package(tarveloftp) and with pkg-config.
set -euo pipefail
build_dir=$1
source_dir=$(cd "$(dirname "$0")" && pwd)
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
soname=$(readelf -d "$prefix"/lib*/libtarveloftp.so.0 | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
[[ "$soname" == "libtarveloftp.so.0" ]] || { echo "SONAME is '$soname'"; exit 1; }

cmake -S "$source_dir/consumer" -B "$prefix/consumer-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/consumer-build" >/dev/null
libdir=$(dirname "$(ls "$prefix"/lib*/libtarveloftp.so.0)")
LD_LIBRARY_PATH="$libdir" "$prefix/consumer-build/consumer" | grep -q "COMMAND_READ a50401"

export PKG_CONFIG_PATH="$libdir/pkgconfig"
g++ -std=c++20 "$source_dir/consumer/main.cpp" -o "$prefix/consumer-pc" $(pkg-config --cflags --libs tarveloftp)
LD_LIBRARY_PATH="$libdir" "$prefix/consumer-pc" | grep -q "COMMAND_READ a50401"
# The systemd units, unless they go to an absolute folder outside the prefix.
unit_dir=$(sed -n 's/^TARVELOFTP_SYSTEMD_UNIT_DIR:PATH=//p' "$build_dir/CMakeCache.txt")
if [[ -n "$unit_dir" && "$unit_dir" != /* ]]; then
  test -f "$prefix/$unit_dir/tarveloftpd.service" && test -f "$prefix/$unit_dir/tarveloftpd@.service"
fi
echo "installed library works with find_package and pkg-config"
