#!/usr/bin/env bash
# install_test.sh BUILD_DIR SOURCE_DIR WORK_DIR CC CXX [SANITIZERS] - installs
# the build into a scratch prefix and uses it as a test program's author
# does: the layout, pkg-config and find_package(kel) builds of a tiny C
# program (also as C++), each run with only the prefix on the loader path.
# A sanitizer build is used with the build's compilers and -fsanitize.
set -euo pipefail
build=$1 source=$2 work=$3 prefix=$3/prefix consumer=$2/tests/install/consumer cc=cc cxx=c++ san=()
[ -z "${6:-}" ] || { cc=$4 cxx=$5 san=(-fsanitize="$6" -fno-omit-frame-pointer); }
c_flags=(-std=c11 -pedantic -Wall -Wextra -Werror -Wstrict-prototypes -Wmissing-prototypes -Wundef "${san[@]}")
fail() { echo "FAIL: $*" >&2; exit 1; }
rm -rf "$work" && mkdir -p "$work"
cmake --install "$build" --prefix "$prefix" >"$work/log" 2>&1 || { cat "$work/log"; fail "install"; }
for f in include/kel.h include/orv.h lib/libkel.so lib/liborv.so lib/pkgconfig/kel.pc lib/cmake/kel/kelConfig.cmake; do
    [ -e "$prefix/$f" ] || fail "$f is not installed"
done
[ -x "$prefix/bin/kel-agent" ] || fail "bin/kel-agent is not installed"
cmp -s "$prefix/include/kel.h" "$source/include/kel.h" || fail "installed kel.h differs"
cmp -s "$prefix/include/orv.h" "$source/platform/include/orv.h" || fail "installed orv.h differs"
for lib in libkel liborv; do
    case $(readlink -f "$prefix/lib/$lib.so") in "$prefix/lib/$lib.so."*) ;; *) fail "$lib.so is not a link to a versioned file" ;; esac
done
readelf -d "$prefix/lib/libkel.so" | grep -Eq '\(NEEDED\).*\[liborv\.so' || fail "libkel.so does not need liborv.so"
for bin in "$prefix/bin/kel-agent" "$prefix/lib/libkel.so"; do
    ! env -u LD_LIBRARY_PATH ldd "$bin" | grep -E 'lib(kel|orv)\.so.*not found' || fail "$bin cannot find its libraries"
done
pc=$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --cflags --libs kel) || fail "pkg-config does not know kel"
# shellcheck disable=SC2086 # the pkg-config output is meant to be split
"$cc" "${c_flags[@]}" "$consumer/tiny.c" $pc -o "$work/tiny_pc" || fail "pkg-config build"
# shellcheck disable=SC2086
"$cxx" -x c++ -std=c++11 -pedantic -Wall -Wextra -Werror "${san[@]}" "$consumer/tiny.c" $pc -o "$work/tiny_cxx" ||
    fail "kel.h does not compile as C++"
{ cmake -S "$consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_C_FLAGS="${c_flags[*]}" -DCMAKE_EXE_LINKER_FLAGS="${san[*]}" && cmake --build "$work/consumer"; } \
    >"$work/log" 2>&1 || { cat "$work/log"; fail "find_package build"; }
for exe in "$work/tiny_pc" "$work/tiny_cxx" "$work/consumer/tiny"; do
    out=$(LD_LIBRARY_PATH=$prefix/lib "$exe" </dev/null) || fail "$exe exited with status $?"
    [ "$out" = "kel_create and kel_destroy: ok; run code 0: success" ] || fail "$exe printed '$out'"
done
