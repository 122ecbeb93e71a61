#!/usr/bin/env bash
# test_ratio.sh - the size of the project's tests against the code they
# test: lines of test sources (C, C++, shell, CMake under tests/) against the
# lines of the library, the platform library, the agent and the public
# headers. Expected-output transcripts and mutation lists are data, not
# sources. Exits 1 when the tests exceed the limit (default 35 %).
#
#   tools/test_ratio.sh [LIMIT_PERCENT]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
limit=${1:-35}
cd "$root"
count() { find "$@" -type f | xargs cat 2>/dev/null | wc -l; }
code=$(count include platform test/src tools/kel-agent \( -name '*.c' -o -name '*.cpp' -o -name '*.h' -o -name '*.hpp' \))
tests=$(count tests \( -name '*.c' -o -name '*.cpp' -o -name '*.h' -o -name '*.hpp' -o -name '*.sh' \
                       -o -name '*.cmake' -o -name CMakeLists.txt \))
pct=$((100 * tests / code))
echo "code: $code lines; tests: $tests lines ($pct %, limit $limit %)"
[ $((100 * tests)) -le $((limit * code)) ]
