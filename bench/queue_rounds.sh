#!/usr/bin/env bash
# The files-against-PostgreSQL comparison of queue_load.sh, repeated: on a shared machine
# one pair of runs can differ by a fifth from the next, so this runs the same pair
# (store files, then store postgresql, same load, each round on a fresh database) ROUNDS
# times and prints every round's rates, CPU per mail and ratio, then the median ratio.
# Nothing about the load or the counting differs from queue_load.sh: it is what runs.
#
#   ROUNDS=5 bench/queue_rounds.sh [build-dir] [mails] [sessions] [bytes]
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
rounds=${ROUNDS:-5}
ratios=()
for r in $(seq 1 "$rounds"); do
  out=$(STORES="files postgresql" "$here/queue_load.sh" "$@" 2>&1) || {
    printf '%s\n' "$out" >&2
    exit 1
  }
  line() { printf '%s\n' "$out" | grep "^gateway, store $1 " || true; }
  field() { sed -n "s/.* = \([0-9]*\) SMS\/s.*/\1/p"; }
  cpu() { sed -n 's/.*; CPU [0-9.]*s (\([0-9.]*\) s per 1,000 mails).*/\1/p'; }
  files=$(line files | field)
  pg=$(line postgresql | field)
  pgcpu=$(line postgresql | sed -n 's/.*PostgreSQL CPU [0-9.]*s (\([0-9.]*\) s per 1,000.*/\1/p')
  waited=$(line postgresql | sed -n 's/.*durable commits [0-9]* (\([0-9.]*\) per mail).*/\1/p')
  ratio=$(printf '%s\n' "$out" | sed -n 's/^store postgresql against store files: \([0-9.]*\)x/\1/p')
  [ -n "$ratio" ] || { printf '%s\n' "$out" >&2; echo "round $r gave no ratio" >&2; exit 1; }
  ratios+=("$ratio")
  echo "round $r: files $files SMS/s (gateway CPU $(line files | cpu) s/1,000 mails);" \
       "postgresql $pg SMS/s (gateway CPU $(line postgresql | cpu), PostgreSQL CPU $pgcpu" \
       "s/1,000 mails; $waited waited-for commits per mail); ratio ${ratio}x"
done
median=$(printf '%s\n' "${ratios[@]}" | sort -n |
         awk '{ v[NR] = $1 } END { printf "%.2f", (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }')
echo "store postgresql against store files, median of $rounds rounds: ${median}x" \
     "(rounds: ${ratios[*]})"
