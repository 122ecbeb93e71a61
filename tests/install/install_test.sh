#!/usr/bin/env bash
# install_test.sh - installs a build tree into a scratch prefix and uses it
# the way a test program's author does: checks the installed layout, builds
# a tiny program with pkg-config and with find_package(kel), compiles it as
# C++ too, and runs every build with only the prefix's lib folder on the
# loader path.
#
# Usage: install_test.sh BUILD_DIR SOURCE_DIR WORK_DIR CC CXX [SANITIZERS]
# A sanitizer build installs instrumented libraries, so the tiny program is
# then built with the build's compilers and the same -fsanitize list;
# otherwise it is built exactly as documented, with cc and c++.
set -euo pipefail

build=$1
source=$2
work=$3
build_cc=$4
build_cxx=$5
sanitize=${6:-}

prefix=$work/prefix
consumer=$source/tests/install/consumer
expected="kel_create and kel_destroy: ok; run code 0: success"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
step() {
    echo "== $*"
}

rm -rf "$work"
mkdir -p "$work"

if [ -n "$sanitize" ]; then
    cc=$build_cc
    cxx=$build_cxx
    san=(-fsanitize="$sanitize" -fno-omit-frame-pointer)
else
    cc=cc
    cxx=c++
    san=()
fi
c_flags=(-std=c11 -pedantic -Wall -Wextra -Werror -Wstrict-prototypes -Wmissing-prototypes -Wundef)
cxx_flags=(-x c++ -std=c++11 -pedantic -Wall -Wextra -Werror -Wundef)

step "cmake --install $build --prefix $prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; fail "cmake --install failed"; }

step "installed layout"
for f in include/kel.h include/orv.h lib/libkel.so lib/liborv.so bin/kel-agent \
    lib/pkgconfig/kel.pc lib/cmake/kel/kelConfig.cmake; do
    [ -e "$prefix/$f" ] || fail "$f is not installed"
done
[ -x "$prefix/bin/kel-agent" ] || fail "bin/kel-agent is not executable"
cmp -s "$prefix/include/kel.h" "$source/include/kel.h" || fail "installed kel.h differs from the source"
cmp -s "$prefix/include/orv.h" "$source/platform/include/orv.h" || fail "installed orv.h differs from the source"
# The unversioned names are links to the real, versioned files.
for lib in libkel liborv; do
    real=$(readlink -f "$prefix/lib/$lib.so")
    case $real in
    "$prefix"/lib/"$lib".so.*) ;;
    *) fail "lib/$lib.so does not lead to a versioned $lib.so.* (it is $real)" ;;
    esac
done

step "libkel.so records liborv.so as needed"
readelf -d "$prefix/lib/libkel.so" | grep -Eq '\(NEEDED\).*\[liborv\.so' ||
    { readelf -d "$prefix/lib/libkel.so"; fail "liborv.so is not a NEEDED entry of libkel.so"; }

step "installed binaries find their libraries without a loader path"
for bin in "$prefix/bin/kel-agent" "$prefix/lib/libkel.so"; do
    if env -u LD_LIBRARY_PATH ldd "$bin" | grep -E 'lib(kel|orv)\.so.*not found'; then
        fail "$bin cannot find its libraries"
    fi
done

step "build with pkg-config"
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
pc_flags=$(pkg-config --cflags --libs kel) || fail "pkg-config does not know kel"
echo "pkg-config --cflags --libs kel: $pc_flags"
# shellcheck disable=SC2086 # the pkg-config output is meant to be split
"$cc" "${c_flags[@]}" "${san[@]}" "$consumer/tiny.c" $pc_flags -o "$work/tiny_pkgconfig" ||
    fail "the tiny program does not build with pkg-config"

step "kel.h compiles as C++"
# shellcheck disable=SC2086
"$cxx" "${cxx_flags[@]}" "${san[@]}" "$consumer/tiny.c" $pc_flags -o "$work/tiny_cxx" ||
    fail "the tiny program does not build as C++"

step "build with find_package(kel)"
cmake_args=(-S "$consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix"
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="${c_flags[*]} ${san[*]}")
if [ -n "$sanitize" ]; then
    cmake_args+=(-DCMAKE_EXE_LINKER_FLAGS="${san[*]}")
fi
cmake "${cmake_args[@]}" >"$work/consumer.log" 2>&1 &&
    cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1 ||
    { cat "$work/consumer.log"; fail "the tiny program does not build with find_package(kel)"; }

step "run"
for exe in "$work/tiny_pkgconfig" "$work/tiny_cxx" "$work/consumer/tiny"; do
    out=$(LD_LIBRARY_PATH=$prefix/lib "$exe" </dev/null) || fail "$exe exited with status $?"
    [ "$out" = "$expected" ] || fail "$exe printed '$out', expected '$expected'"
    echo "$exe: $out"
done
echo "install test passed"
