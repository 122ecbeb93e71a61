#!/usr/bin/env bash
# callgraph.sh - checks the structure of a build: the cross-file calls of
# libkel, of kel-agent and of liborv, read from their object files, with no
# cycle between files except the executor and the thread fan-out (a multi
# folder's children run through the executor again); and every header of the
# project compiles on its own.
#
#   tools/callgraph.sh [BUILD_DIR] [--edges]
#
# BUILD_DIR defaults to ./build and must hold a finished build. Exits 1 on a
# cycle or a header that does not compile alone.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-build}
shift || true
graph="$root/tools/callgraph.pl"
status=0

objects() { find "$build/$1" -name '*.o' | sort; }

echo "== libkel"
"$graph" "$@" --allow exec,threads $(objects CMakeFiles/kel_objects.dir) || status=1
echo "== kel-agent"
"$graph" "$@" $(objects tools/CMakeFiles/kel-agent.dir) || status=1
echo "== liborv"
"$graph" "$@" $(objects platform) || status=1

echo "== headers compile on their own"
includes=(-I"$root/include" -I"$root/platform/include" -I"$root/test/src/infra"
          -I"$root/test/src/infra/kel" -I"$root/test/src/infra/kel_evc" -I"$root/tools/kel-agent")
cxx=${CXX:-c++}
cc=${CC:-cc}
bad=0
for h in "$root"/include/*.h "$root"/platform/include/*.h "$root"/platform/src/*.h \
         "$root"/test/src/infra/*.h "$root"/test/src/infra/*/*.h "$root"/tools/kel-agent/*.h; do
    [ -e "$h" ] || continue
    if ! "$cxx" -std=c++20 -fsyntax-only -Wall -Wextra -Werror -x c++ "${includes[@]}" "$h"; then
        echo "does not compile alone as C++: ${h#$root/}"; bad=1
    fi
done
for h in "$root"/include/kel.h "$root"/platform/include/orv.h; do
    if ! "$cc" -std=c11 -fsyntax-only -Wall -Wextra -Werror -x c "${includes[@]}" "$h"; then
        echo "does not compile alone as C: ${h#$root/}"; bad=1
    fi
done
[ $bad -eq 0 ] && echo "every header compiles on its own" || status=1
exit $status
