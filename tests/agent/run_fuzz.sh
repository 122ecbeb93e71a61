#!/usr/bin/env bash
# run_fuzz.sh BUILD_DIR [SECONDS] - builds kel-agent's request fuzzer with
# clang in BUILD_DIR (-DKEL_BUILD_FUZZ=ON) and runs it SECONDS (default 60).
# The corpus grows in BUILD_DIR/fuzz-corpus; a crash leaves its input in
# BUILD_DIR/fuzz-artifacts and fails the script.
set -euo pipefail
[ $# -ge 1 ] && [ $# -le 2 ] || { echo "usage: $0 BUILD_DIR [SECONDS]" >&2; exit 2; }
mkdir -p "$1/fuzz-corpus" "$1/fuzz-artifacts" && build=$(cd "$1" && pwd)
cmake -S "$(dirname "${BASH_SOURCE[0]}")/../.." -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEL_BUILD_FUZZ=ON >"$build/log" 2>&1 || { cat "$build/log"; exit 1; }
cmake --build "$build" -j2 --target agent_request_fuzz
KEL_FUZZ_ROOT=$build KEL_FUZZ_SEED_DIR=$build/fuzz-corpus "$build/tests/agent/fuzz/agent_request_fuzz" \
    -max_total_time="${2:-60}" -max_len=1024 -artifact_prefix="$build/fuzz-artifacts/" -print_final_stats=1 \
    "$build/fuzz-corpus"
