#!/usr/bin/env bash
# run_fuzz.sh BUILD_DIR [SECONDS] - builds kel-agent's request fuzzer with
# clang in BUILD_DIR (-DKEL_BUILD_FUZZ=ON) and runs it SECONDS (default 60).
# The corpus grows in BUILD_DIR/fuzz-corpus; a crash leaves its input in
# BUILD_DIR/fuzz-artifacts and fails the script.
set -euo pipefail
[ $# -ge 1 ] && [ $# -le 2 ] || { echo "usage: $0 BUILD_DIR [SECONDS]" >&2; exit 2; }
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
mkdir -p "$1"
cmake -S "$src" -B "$1" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKEL_BUILD_FUZZ=ON >"$1/configure.log" 2>&1 || { cat "$1/configure.log"; exit 1; }
cmake --build "$1" -j2 --target agent_request_fuzz
build=$(cd "$1" && pwd)
mkdir -p "$build/fuzz-corpus" "$build/fuzz-artifacts"
KEL_FUZZ_ROOT=$build KEL_FUZZ_SEED_DIR=$build/fuzz-corpus "$build/tests/agent/fuzz/agent_request_fuzz" \
    -max_total_time="${2:-60}" -max_len=1024 -artifact_prefix="$build/fuzz-artifacts/" -print_final_stats=1 \
    "$build/fuzz-corpus"
