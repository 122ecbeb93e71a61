#!/usr/bin/env bash
# run_fuzz.sh - builds kel-agent's request fuzzer with clang and runs it for
# a bounded time.
#
# Usage: tests/agent/run_fuzz.sh BUILD_DIR [SECONDS]
#   BUILD_DIR  a build folder of its own (configured here with clang and
#              -DKEL_BUILD_FUZZ=ON)
#   SECONDS    how long to fuzz (default 60)
# The corpus lives in BUILD_DIR/fuzz-corpus and grows from run to run; a
# crash leaves its input in BUILD_DIR/fuzz-artifacts and fails the script.
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 BUILD_DIR [SECONDS]" >&2
    exit 2
fi
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$1
seconds=${2:-60}

mkdir -p "$build"
cmake -S "$src" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEL_BUILD_FUZZ=ON >"$build/configure.log" 2>&1 ||
    { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j2 --target agent_request_fuzz

build=$(cd "$build" && pwd)
corpus=$build/fuzz-corpus
artifacts=$build/fuzz-artifacts
mkdir -p "$corpus" "$artifacts"
export KEL_FUZZ_ROOT=$build
export KEL_FUZZ_SEED_DIR=$corpus
"$build/tests/agent/fuzz/agent_request_fuzz" -max_total_time="$seconds" -max_len=1024 \
    -artifact_prefix="$artifacts/" -print_final_stats=1 "$corpus"
