#!/usr/bin/env bash
# exports_test.sh - compares the dynamic symbols a shared library defines
# with the functions its public header marks for export.
#
# Usage: exports_test.sh LIBRARY HEADER EXPORT_MACRO ALLOWED_REGEX
# Fails for every exported name that the header does not declare with
# EXPORT_MACRO or that does not match ALLOWED_REGEX (whole name): those leak
# internals into the ABI. Names declared but not (yet) defined are listed as
# a warning only, while the library is being filled in.
set -euo pipefail

lib=$1
header=$2
macro=$3
allowed=$4

[ -f "$lib" ] || { echo "FAIL: $lib does not exist" >&2; exit 1; }

# Declared names: the identifier before the first "(" after each use of the
# export macro, with comments and preprocessor lines removed first.
declared=$(perl -0ne '
    s{/\*.*?\*/}{}gs; s{//[^\n]*}{}g; s{^[ \t]*#(?:[^\n]*\\\n)*[^\n]*}{}mg;
    while (/\b'"$macro"'\b[^;(]*?(\w+)\s*\(/g) { print "$1\n" }' "$header" | sort -u)

# Exported names. The loader's own markers and the sanitizer runtimes'
# instrumentation symbols are not part of the interface.
exported=$(nm -D --defined-only "$lib" | awk 'NF >= 3 { print $3 }' | sed 's/@.*//' |
    grep -Ev '^(_init|_fini|_edata|_end|__bss_start|_{2,3}(asan|odr_asan|sanitizer|tsan|ubsan|lsan).*)$' |
    sort -u || true)

[ -n "$declared" ] || { echo "FAIL: no $macro declarations found in $header" >&2; exit 1; }

undeclared=$(comm -13 <(echo "$declared") <(echo "$exported"))
bad_prefix=$(echo "$exported" | grep -Ev "^($allowed)\$" || true)
missing=$(comm -23 <(echo "$declared") <(echo "$exported"))

echo "$(basename "$lib"): $(echo "$exported" | grep -c . || true) exported, $(echo "$declared" | grep -c .) declared in $(basename "$header")"
if [ -n "$missing" ]; then
    echo "WARNING: declared in $(basename "$header") but not defined in $(basename "$lib") (yet):"
    echo "$missing" | sed 's/^/    /'
fi
status=0
if [ -n "$undeclared" ]; then
    echo "FAIL: exported by $(basename "$lib") but not declared with $macro in $(basename "$header"):"
    echo "$undeclared" | sed 's/^/    /'
    status=1
fi
if [ -n "$bad_prefix" ]; then
    echo "FAIL: exported names outside the public name space ($allowed):"
    echo "$bad_prefix" | sed 's/^/    /'
    status=1
fi
exit $status
