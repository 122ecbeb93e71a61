#!/usr/bin/env bash
# run_scenario.sh TABLE NAME PROGRAM_DIR - runs one row of the scenario table
# and compares the program's standard output and exit status with its
# transcript, <table's folder>/<program>/<name>.out. A row reads
#   name | program | status | limit s | rules | environment | arguments
# (environment and arguments as shell words, "-" for none; rules a comma list
# of the named normalisations below, "-" for none). The program runs from
# PROGRAM_DIR as ./<program>, in a process group of its own that is killed
# whole at the limit and again when the program ends. Once it has ended by
# itself, no process of the run may be left (every process it starts
# inherits the mark GOLDEN_SCENARIO_RUN in its environment, wherever its
# process group; slaves lead groups of their own, so nothing of the
# session may be left either), and no results segment of the program's pid or of a pid
# its output names may be left in /dev/shm. With KEL_GOLDEN_BLESS=1 the
# normalised output is written to the transcript instead of compared.
set -u
table=$1 name=$2 progdir=$3
trim() { local s=$1; s=${s#"${s%%[! ]*}"}; printf '%s' "${s%"${s##*[! ]}"}"; }
row=$(grep -E "^$name *[|]" "$table") || { echo "no scenario $name"; exit 2; }
IFS='|' read -r _ prog status limit rules envs args <<<"$row"
prog=$(trim "$prog") status=$(trim "$status") limit=$(trim "$limit") rules=$(trim "$rules")
envs=$(trim "$envs") args=$(trim "$args")
[ "$envs" = - ] && envs=
[ "$args" = - ] && args=
expected=$(dirname "$table")/$prog/$name.out

# Crashes end with their signal in the sanitizer builds too.
crash=handle_segv=0:handle_sigbus=0:handle_abort=0:handle_sigfpe=0
export ASAN_OPTIONS="${ASAN_OPTIONS:-}:$crash" UBSAN_OPTIONS="${UBSAN_OPTIONS:-}:$crash"
export TSAN_OPTIONS="${TSAN_OPTIONS:-}:$crash"
ulimit -c 0
cd "$progdir" || exit 2
work=$(mktemp -d "${TMPDIR:-/tmp}/kel_scenario.XXXXXX") || exit 2
eval "set -- $args" && eval "env_words=($envs)"
mark="GOLDEN_SCENARIO_RUN=$work" left_procs= left_procs_text=
env "$mark" "${env_words[@]}" setsid "./$prog" "$@" >"$work/out" 2>"$work/err" </dev/null &
pid=$!
sleep "$limit" </dev/null >/dev/null 2>&1 &
timer=$!
# Only now: a child forked before it had finished its exec would run it too.
trap 'rm -rf "$work"' EXIT
wait -n -p ended "$pid" "$timer"
rc=$?
if [ "$ended" = "$timer" ]; then
    kill -KILL -- "-$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    rc="time-out after ${limit}s"
else
    kill "$timer" 2>/dev/null
    wait "$timer" 2>/dev/null
    # A process killed by its parent's death signal may need a moment to go.
    for _ in 1 2 3 4 5 6 7 8 9 10; do
        left_procs=$(grep -lsxzF "$mark" /proc/[0-9]*/environ | cut -d/ -f3)
        [ -z "$left_procs" ] && break
        sleep 0.1
    done
    for p in $left_procs; do
        left_procs_text+="$(tr '\0' ' ' </proc/"$p"/cmdline 2>/dev/null) (pid $p); "
    done
fi
kill -KILL -- "-$pid" 2>/dev/null # what the program left in its group

# Named normalisations, applied line by line.
sed_args=()
for r in ${rules//,/ }; do
    case $r in
    time) sed_args+=(-e 's/Elapsed time = [0-9]+ ms/Elapsed time = <T> ms/') ;;
    rate) sed_args+=(-e 's/in (less than 1|[0-9]+) ms \((over )?[0-9]+\/sec, [0-9]+ usec\/op\)/in <T> ms (<N>\/sec, <N> usec\/op)/g'
        -e 's/ => [-+][0-9]+%$/ => <P>%/' -e 's/\(([0-9]+)\) is over/(<N>) is over/; s/throughput \([0-9]+\)/throughput (<N>)/') ;;
    pid) sed_args+=(-e 's/(pid=|[Pp]rocess |kel_res\.)[0-9]+/\1<PID>/g') ;;
    ptr) sed_args+=(-e 's/0x[0-9a-fA-F]{6,}/<PTR>/g') ;;
    libline) sed_args+=(-e 's/(test\/src\/infra\/kel):[0-9]+:/\1:<L>:/') ;;
    sort) ;;
    -) ;;
    *) echo "unknown rule $r"; exit 2 ;;
    esac
done
actual=$work/actual
if [ ${#sed_args[@]} -gt 0 ]; then sed -E "${sed_args[@]}" "$work/out" >"$actual"; else cp "$work/out" "$actual"; fi
case ",$rules," in *,sort,*) LC_ALL=C sort "$actual" -o "$actual" ;; esac

if [ "${KEL_GOLDEN_BLESS:-0}" = 1 ]; then
    mkdir -p "$(dirname "$expected")" && cp "$actual" "$expected"
    echo "blessed $expected (exit $rc)"
    exit 0
fi
fail=0
# Slaves lead process groups of their own: none may outlive the program.
stray=$(ps -e -o sid=,pgid=,pid=,stat= | awk -v s="$pid" '$1 == s && $2 != s && $4 !~ /^Z/ { print $3 }')
[ -z "$stray" ] || { kill -KILL $stray 2>/dev/null; echo "processes left behind: $stray"; fail=1; }
if ! cmp -s "$expected" "$actual"; then
    echo "standard output differs from $expected (trailing blanks end in \$):"
    diff -u --label expected --label actual "$expected" "$actual" | sed -E '/^[-+ ].*[ \t]$/s/$/$/'
    fail=1
fi
[ "$rc" = "$status" ] || { echo "exit status: expected $status, got $rc"; fail=1; }
[ -z "$left_procs" ] || { echo "processes left behind: $left_procs_text"; fail=1; }
pids=$(printf '%s\n' "$pid" $(grep -oE '(pid=|[Pp]rocess )[0-9]+' "$work/out" | grep -oE '[0-9]+') | sort -u)
left=$(ls /dev/shm 2>/dev/null | grep -E "^kel_res\.($(echo $pids | tr ' ' '|'))\.")
[ -z "$left" ] || { echo "results segments left behind:" $left; (cd /dev/shm && rm -f $left); fail=1; }
if [ $fail = 1 ]; then
    echo "---- \$ $envs ./$prog $args"
    echo "---- standard error:" && cat "$work/err"
fi
exit $fail
