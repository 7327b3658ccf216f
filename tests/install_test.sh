#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds the C example against
# it twice: with pkg-config and with find_package(zarvel).
# Usage: install_test.sh BUILD-DIR (run from the project root).
set -euo pipefail
build=$(cd "$1" && pwd)
root=$(pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(find "$prefix" -name libzarvel.so -printf '%h\n' | head -n 1)
for wanted in "$prefix/include/zarvel.h" "$prefix/bin/zarvel" "$libdir/libzarvel.a" "$libdir/pkgconfig/zarvel.pc" \
              "$libdir/cmake/zarvel/zarvelConfig.cmake"; do
    [[ -e $wanted ]] || { echo "missing after install: $wanted"; exit 1; }
done
soname=$(objdump -p "$libdir/libzarvel.so" | awk '/SONAME/ {print $2}')
[[ $soname == libzarvel.so.0.6.32 ]] || { echo "unexpected soname $soname"; exit 1; }

if command -v pkg-config >/dev/null 2>&1; then
    export PKG_CONFIG_PATH=$libdir/pkgconfig
    cc -std=c11 -Wall -Wextra -o "$scratch/c_host_pc" examples/c_host.c $(pkg-config --cflags --libs zarvel)
    LD_LIBRARY_PATH=$libdir "$scratch/c_host_pc" examples/config.yaml | grep -qx ok
    echo "ok   pkg-config build"
else
    echo "skip pkg-config build (pkg-config not installed)"
fi

cmake -S "$root/tests/install" -B "$scratch/host" -DCMAKE_PREFIX_PATH="$prefix" \
      -DEXAMPLE_SOURCE="$root/examples/c_host.c" >/dev/null
cmake --build "$scratch/host" >/dev/null
LD_LIBRARY_PATH=$libdir "$scratch/host/c_host" examples/config.yaml | grep -qx ok
echo "ok   find_package build"
