#!/usr/bin/env bash
# exports_test.sh LIBRARY HEADER EXPORT_MACRO ALLOWED_REGEX - fails for every
# dynamic symbol LIBRARY defines that HEADER does not declare with
# EXPORT_MACRO or that is outside ALLOWED_REGEX (whole name); declared names
# not defined are listed as a warning.
set -euo pipefail
lib=$1 header=$2 macro=$3 allowed=$4
[ -f "$lib" ] || { echo "FAIL: $lib does not exist" >&2; exit 1; }
# Comments and preprocessor lines go first; then the name before "(".
declared=$(perl -0ne 's{/\*.*?\*/}{}gs; s{//[^\n]*}{}g; s{^[ \t]*#(?:[^\n]*\\\n)*[^\n]*}{}mg;
    while (/\b'"$macro"'\b[^;(]*?(\w+)\s*\(/g) { print "$1\n" }' "$header" | sort -u)
[ -n "$declared" ] || { echo "FAIL: no $macro declarations in $header" >&2; exit 1; }
# The loader's markers and the sanitizer runtimes' symbols are no interface.
exported=$(nm -D --defined-only "$lib" | awk 'NF >= 3 { sub(/@.*/, "", $3); print $3 }' |
    grep -Ev '^(_init|_fini|_edata|_end|__bss_start|_{2,3}(asan|odr_asan|sanitizer|tsan|ubsan|lsan).*)$' | sort -u || true)
missing=$(comm -23 <(echo "$declared") <(echo "$exported"))
[ -z "$missing" ] || echo "WARNING: declared but not defined:" $missing
undeclared=$(comm -13 <(echo "$declared") <(echo "$exported"))
outside=$(echo "$exported" | grep -Ev "^($allowed)\$" || true)
[ -z "$undeclared" ] || echo "FAIL: exported but not declared with $macro:" $undeclared
[ -z "$outside" ] || echo "FAIL: exported outside $allowed:" $outside
[ -z "$undeclared$outside" ]
