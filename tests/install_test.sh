#!/usr/bin/env bash
# Installs zarvel as a distribution would and builds a C host against it:
#   - the given build, installed under another prefix (cmake --install --prefix);
#   - a /usr build with the multiarch library directory, staged with DESTDIR,
#     used through pkg-config (shared and static) and find_package (shared and
#     static, from a C-only project);
#   - the Debian package and the tarball cpack makes of that build.
# Usage: install_test.sh BUILD-DIR (run from the project root).
set -euo pipefail
build=$(cd "$1" && pwd)
root=$(pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
example=$root/examples/read_key.c
expected='service.listen.port = 8080'
fail() { echo "FAIL $*"; exit 1; }

# The same compiler set-up as the build under test (ccache included).
cached() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
multiarch=$(cc -print-multiarch 2>/dev/null || true)
libdir=lib${multiarch:+/$multiarch}

# ---- the build under test, relocated ------------------------------------------------
cmake --install "$build" --prefix "$scratch/opt" >/dev/null
pc=$(find "$scratch/opt" -name zarvel.pc)
grep -qx "prefix=$scratch/opt" "$pc" || fail "relocated .pc names another prefix: $(head -1 "$pc")"
echo "ok   relocated install"

# ---- a /usr build, staged -------------------------------------------------------------
cmake -S "$root" -B "$scratch/build" -DCMAKE_BUILD_TYPE="$(cached CMAKE_BUILD_TYPE)" \
      -DCMAKE_C_COMPILER_LAUNCHER="$(cached CMAKE_C_COMPILER_LAUNCHER)" \
      -DCMAKE_CXX_COMPILER_LAUNCHER="$(cached CMAKE_CXX_COMPILER_LAUNCHER)" \
      -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR="$libdir" -DZARVEL_BUILD_TESTS=OFF >/dev/null
cmake --build "$scratch/build" -j2 --target zarvel zarvel_static zarvel_tool >/dev/null
stage=$scratch/stage
DESTDIR=$stage cmake --install "$scratch/build" >/dev/null

installed=(usr/include/zarvel.h usr/bin/zarvel "usr/$libdir/libzarvel.so" "usr/$libdir/libzarvel.so.0"
           "usr/$libdir/libzarvel.so.0.6.32" "usr/$libdir/libzarvel.a" "usr/$libdir/pkgconfig/zarvel.pc"
           "usr/$libdir/cmake/zarvel/zarvelConfig.cmake" "usr/$libdir/cmake/zarvel/zarvelConfigVersion.cmake"
           "usr/$libdir/cmake/zarvel/zarvelTargets.cmake" usr/share/doc/zarvel/LICENSE)
for path in "${installed[@]}"; do
    [[ -e $stage/$path ]] || fail "missing after install: /$path"
done
soname=$(objdump -p "$stage/usr/$libdir/libzarvel.so" | awk '/SONAME/ {print $2}')
[[ $soname == libzarvel.so.0 ]] || fail "soname $soname"
pc=$stage/usr/$libdir/pkgconfig/zarvel.pc
for line in 'prefix=/usr' "libdir=\${prefix}/$libdir" "includedir=\${prefix}/include" 'Libs.private: -lstdc++ -lm'; do
    grep -qxF "$line" "$pc" || fail "zarvel.pc lacks '$line'"
done
echo "ok   /usr install staged with DESTDIR"

# pkg-config reads the staged file as if it were installed (the sysroot maps /usr).
if command -v pkg-config >/dev/null 2>&1; then
    export PKG_CONFIG_LIBDIR=$stage/usr/$libdir/pkgconfig PKG_CONFIG_SYSROOT_DIR=$stage
    flags=$(pkg-config --cflags --libs zarvel)
    [[ $flags == *"-I$stage/usr/include"* && $flags == *"-L$stage/usr/$libdir"* ]] || fail "pkg-config gives '$flags'"
    cc -std=c11 -Wall -Wextra -o "$scratch/pc_shared" "$example" $flags
    [[ $(LD_LIBRARY_PATH=$stage/usr/$libdir "$scratch/pc_shared") == "$expected" ]] || fail "pkg-config shared host"
    cc -std=c11 -static -o "$scratch/pc_static" "$example" $(pkg-config --static --cflags --libs zarvel)
    [[ $("$scratch/pc_static") == "$expected" ]] || fail "pkg-config static host"
    unset PKG_CONFIG_LIBDIR PKG_CONFIG_SYSROOT_DIR
    echo "ok   pkg-config hosts, shared and static"
else
    echo "skip pkg-config hosts (pkg-config not installed)"
fi

cmake -S "$root/tests/install" -B "$scratch/host" -DCMAKE_PREFIX_PATH="$stage/usr" \
      -DEXAMPLE_SOURCE="$example" >/dev/null
cmake --build "$scratch/host" >/dev/null
[[ $(LD_LIBRARY_PATH=$stage/usr/$libdir "$scratch/host/host_shared") == "$expected" ]] || fail "find_package shared host"
! ldd "$scratch/host/host_static" | grep -q libzarvel || fail "find_package static host loads libzarvel.so"
[[ $("$scratch/host/host_static") == "$expected" ]] || fail "find_package static host"
echo "ok   find_package hosts, shared and static"

# ---- packages -----------------------------------------------------------------------
if ! command -v dpkg-deb >/dev/null 2>&1; then
    echo "skip packages (dpkg-deb not installed)"
    exit 0
fi
(cd "$scratch/build" && cpack -G "DEB;TGZ" >/dev/null)
deb=$(ls "$scratch"/build/zarvel_0.6.32_*.deb)
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./||' >"$scratch/deb-files"
tarball=$(ls "$scratch"/build/zarvel-0.6.32-*.tar.gz)
tar -tzf "$tarball" | sed 's|^[^/]*/||' >"$scratch/tar-files"
for list in deb-files tar-files; do
    for path in "${installed[@]}"; do
        grep -qxF "$path" "$scratch/$list" || fail "$list: no /$path"
    done
done
depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends == *libc6* && $depends == *libstdc++6* ]] || fail "package depends on '$depends'"
dpkg-deb -I "$deb" postinst | grep -q ldconfig || fail "package does not run ldconfig"
dpkg-deb -I "$deb" shlibs | grep -qx "libzarvel 0 zarvel (>= 0.6.32)" || fail "package shlibs: $(dpkg-deb -I "$deb" shlibs)"
dpkg-deb -x "$deb" "$scratch/unpacked"
cmp -s "$scratch/unpacked/usr/$libdir/pkgconfig/zarvel.pc" "$pc" || fail "the package's zarvel.pc differs from the install's"
echo "ok   Debian package and tarball"
