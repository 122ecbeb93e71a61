#!/usr/bin/env bash
# concurrency_soak.sh BUILD_DIR [ROUNDS] [REGEX] - runs the concurrency tests
# (threads, sync variables, slaves, the dispatcher, the event checker, the
# agent) ROUNDS times (default 50) to catch rare hangs and wrong counts; too
# long for every CI run. Each run has a time limit; the first failure stops.
set -euo pipefail
build=${1:?usage: concurrency_soak.sh BUILD_DIR [ROUNDS] [REGEX]}
ctest --test-dir "$build" --output-on-failure --timeout 300 --repeat "until-fail:${2:-50}" \
    -R "${3:-Syncvar|Thread|Slave|Exec\.(Checks|Assert)|Dispatcher|Evc|Agent}"
