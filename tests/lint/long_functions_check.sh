#!/usr/bin/env bash
# Checks scripts/long-functions on a made-up tree: a function of exactly the limit passes,
# one line more is reported with its file, line and length, --max moves the limit, a
# member function and a function in a header count too, and usage errors exit 2.
set -uo pipefail
script="$1"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# body <name> <total lines>: a C++ function spanning exactly that many lines
body() {
  echo "int $1(int x) {"
  for ((i = 0; i < $2 - 2; i++)); do echo "  x += $i;"; done
  echo "}"
}
mkdir -p "$dir/a" "$dir/b"
body at_limit 80 >"$dir/a/ok.cpp"
{ echo "struct S { int over(int x); };"; echo "int S::over(int x) {"
  for ((i = 0; i < 79; i++)); do echo "  x += $i;"; done; echo "}"; } >"$dir/a/member.cpp"
{ echo "#pragma once"; echo "inline int in_header(int x) {"
  for ((i = 0; i < 88; i++)); do echo "  x -= $i;"; done; echo "}"; } >"$dir/b/inl.h"

out="$("$script" "$dir/a/ok.cpp" 2>/dev/null)"; rc=$?
[ $rc -eq 0 ] || fail "a function of 80 lines was reported (rc $rc): $out"
[ -z "$out" ] || fail "output for a clean tree: $out"

out="$("$script" "$dir" 2>/dev/null)"; rc=$?
[ $rc -eq 1 ] || fail "long functions, yet rc $rc"
expected="90 $dir/b/inl.h:2 in_header
81 $dir/a/member.cpp:2 over"
[ "$out" = "$expected" ] || fail "listing: got
$out
expected
$expected"

out="$("$script" --max 89 "$dir" 2>/dev/null)"; rc=$?
[ $rc -eq 1 ] && [ "$out" = "90 $dir/b/inl.h:2 in_header" ] || fail "--max 89: rc $rc, $out"
out="$("$script" --max=90 "$dir" 2>/dev/null)"; rc=$?
[ $rc -eq 0 ] && [ -z "$out" ] || fail "--max=90: rc $rc, $out"
out="$("$script" --max 79 "$dir/a/ok.cpp" 2>/dev/null)"; rc=$?
[ $rc -eq 1 ] && [ "$out" = "80 $dir/a/ok.cpp:1 at_limit" ] || fail "--max 79: rc $rc, $out"

"$script" --max ten "$dir" >/dev/null 2>&1; [ $? -eq 2 ] || fail "--max ten is not a usage error"
"$script" --max >/dev/null 2>&1; [ $? -eq 2 ] || fail "--max without a number is not a usage error"
"$script" "$dir/none" >/dev/null 2>&1; [ $? -eq 2 ] || fail "a missing directory is not an error"
echo "long-functions checks passed"
