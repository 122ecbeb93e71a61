#!/usr/bin/env bash
# mutate.sh - measures the power of the test suite: applies each source
# mutation of a list, one at a time, rebuilds, runs the suite, and counts the
# mutations the suite kills (some test fails) and those that survive.
#
#   tools/mutate.sh [-l LIST] [-b BUILD_DIR] [-k] [ID...]
#
#   -l LIST   the mutations (default tests/mutations.txt)
#   -b DIR    build directory, configured on first use (default /tmp/kel-mutate)
#   -k        keep going after a mutation that does not apply or build
#   -n        only check that every mutation applies (no build, no run)
#   ID...     only these mutations (numbers, in list order from 1)
#
# The list holds blocks: an '@' line, the text to replace ('- ' lines) and
# its replacement ('+ ' lines); '#' lines and blank lines are comments:
#
#   @ test/src/infra/kel/slave.cpp: output is not flushed before fork
#   - fflush(stdout);
#   + (void)0;
#
# The text of the '- ' lines must occur exactly once in the file; it is
# replaced by the text of the '+ ' lines. The source is always restored, even when interrupted.
# Exits 0 when every mutation applied and built; the score is printed last.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
list=$root/tests/mutations.txt
build=/tmp/kel-mutate
keep_going=0
dry_run=0
while getopts "l:b:kn" opt; do
    case $opt in
        l) list=$OPTARG ;;
        b) build=$OPTARG ;;
        k) keep_going=1 ;;
        n) dry_run=1 ;;
        *) sed -n '2,20p' "$0"; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
declare -A only=()
for id in "$@"; do only[$id]=1; done

# Parse the list into parallel arrays.
# Several '-' (or '+') lines in a row make one text of several lines.
files=() descs=() olds=() news=()
while IFS= read -r line || [ -n "$line" ]; do
    k=$((${#files[@]} - 1))
    case $line in
        '@ '*) rest=${line#@ }; files+=("${rest%%: *}"); descs+=("${rest#*: }"); olds+=(""); news+=("") ;;
        '- '*|'+ '*)
            [ $k -ge 0 ] || { echo "mutate.sh: $list: text before the first '@' line" >&2; exit 2; }
            if [ "${line:0:1}" = - ]; then
                olds[$k]+=${olds[$k]:+$'\n'}${line#- }
            else
                news[$k]+=${news[$k]:+$'\n'}${line#+ }
            fi ;;
        '#'*|'') ;;
        *) echo "mutate.sh: $list: cannot read: $line" >&2; exit 2 ;;
    esac
done <"$list"
n=${#files[@]}
for ((i = 0; i < n; i++)); do
    if [ -z "${olds[$i]}" ] || [ -z "${news[$i]}" ]; then
        echo "mutate.sh: $list: mutation $((i + 1)) needs '-' and '+' lines" >&2
        exit 2
    fi
done
[ "$n" -gt 0 ] || { echo "mutate.sh: $list: no mutation" >&2; exit 2; }

count_in() { OLD=$1 perl -0777 -ne 'print scalar(() = /\Q$ENV{OLD}\E/g)' "$root/$2" 2>/dev/null || echo 0; }
if [ $dry_run -eq 1 ]; then
    bad=0
    for ((i = 0; i < n; i++)); do
        c=$(count_in "${olds[$i]}" "${files[$i]}")
        [ "$c" = 1 ] || { echo "$((i + 1)) ${files[$i]}: found $c times"; bad=1; }
    done
    echo "$n mutations checked"
    exit $bad
fi

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 2
fi
echo "building the unmutated tree"
cmake --build "$build" -j2 >/dev/null || { echo "mutate.sh: the unmutated tree does not build" >&2; exit 2; }
ctest --test-dir "$build" -j2 >/dev/null || { echo "mutate.sh: the suite fails without mutation" >&2; exit 2; }

backup=""
target=""
restore() {
    if [ -n "$backup" ]; then
        # A fresh time stamp: the build must see the file change back.
        cp "$backup" "$target"
        touch "$target"
        rm -f "$backup"
        backup=""
    fi
}
trap 'restore; exit 130' INT TERM
trap restore EXIT

killed=0 survived=0 broken=0
survivors=()
for ((i = 0; i < n; i++)); do
    id=$((i + 1))
    [ ${#only[@]} -eq 0 ] || [ -n "${only[$id]:-}" ] || continue
    target=$root/${files[$i]}
    label=$(printf '%3d %s: %s' "$id" "${files[$i]}" "${descs[$i]}")
    count=$(count_in "${olds[$i]}" "${files[$i]}")
    if [ "$count" != 1 ]; then
        echo "NOT APPLIED $label (found $count times)"
        broken=$((broken + 1)); [ $keep_going -eq 1 ] || exit 1
        continue
    fi
    backup=$(mktemp)
    cp "$target" "$backup"
    OLD=${olds[$i]} NEW=${news[$i]} perl -0777 -pi -e 's/\Q$ENV{OLD}\E/$ENV{NEW}/' "$target"
    if ! cmake --build "$build" -j2 >/dev/null 2>&1; then
        echo "NOT BUILT   $label"
        broken=$((broken + 1))
        restore
        [ $keep_going -eq 1 ] || exit 1
        continue
    fi
    if ctest --test-dir "$build" -j2 --stop-on-failure --timeout 120 >/dev/null 2>&1; then
        echo "SURVIVED    $label"
        survived=$((survived + 1)); survivors+=("$id")
    else
        echo "killed      $label"
        killed=$((killed + 1))
    fi
    restore
done
# Leave the build matching the source again.
cmake --build "$build" -j2 >/dev/null 2>&1

total=$((killed + survived))
echo
echo "mutations: $total run, $killed killed, $survived survived, $broken not applied or not built"
[ ${#survivors[@]} -eq 0 ] || echo "survivors: ${survivors[*]}"
[ $total -eq 0 ] || echo "score: $((100 * killed / total)) % killed"
[ $broken -eq 0 ]
