#!/usr/bin/env bash
# Runs the concurrency tests (sync variables, spawned threads and sequencers,
# slave processes, and checks from threads given a test's token) many times
# in a row, to catch rare hangs and wrong counts. Too long for every CI run.
#
#   tests/soak/concurrency_soak.sh BUILD_DIR [ROUNDS]
#
# Each round has a time limit; the first failing or hanging round stops the
# soak with its output kept in BUILD_DIR/soak-failure.log.
set -euo pipefail

build=${1:?usage: concurrency_soak.sh BUILD_DIR [ROUNDS]}
rounds=${2:-50}
unit=$build/tests/kel/kel_unit_tests
golden=$build/tests/golden/golden_tests
limit=300

start=$(date +%s)
for ((i = 1; i <= rounds; i++)); do
  log=$build/soak-round.log
  if ! timeout --kill-after=10 $limit "$unit" \
        --gtest_filter='Syncvar*:Threads*:SlaveSegment*:SlaveFork*:Exec.Checks*:Exec.Assert*' >"$log" 2>&1 ||
     ! timeout --kill-after=10 $limit "$golden" --gtest_filter='SlaveProcess*:SlaveSlot*' >>"$log" 2>&1; then
    mv "$log" "$build/soak-failure.log"
    echo "concurrency soak: round $i of $rounds FAILED (see $build/soak-failure.log)"
    exit 1
  fi
done
rm -f "$build/soak-round.log"
echo "concurrency soak: $rounds rounds passed in $(( $(date +%s) - start )) s"
