#!/usr/bin/env bash
# Keeps a corpus small: of the inputs in the given directories, smallest
# first (largest first with ZQ_TRIM_ORDER=large, which keeps fewer inputs
# where many small ones each reach one branch), only those that reach code
# no input kept before them reaches (by libFuzzer's edge count). Needs the
# libFuzzer build of the target. ZQ_TRIM_GAIN=N keeps only inputs that add
# at least N edges (default 1), trading a little replayed coverage for a
# corpus of a few dozen inputs.
#
#   fuzz/trim_corpus.sh build-fuzz/fuzz/zq_fuzz_link fuzz/corpus/link DIR...
#
# The kept inputs replace the corpus directory's files (named by content).
set -euo pipefail
program="$1"; corpus="$2"; shift 2
kept="$(mktemp -d)"
trap 'rm -rf "$kept"' EXIT
edges() { "$program" -runs=0 "$kept" 2>&1 | sed -n 's/.*INITED cov: \([0-9]*\).*/\1/p' | tail -1; }
best=0
while IFS= read -r file; do
  name="$(sha1sum "$file" | cut -c1-16)"
  [ -e "$kept/$name" ] && continue
  cp "$file" "$kept/$name"
  now="$(edges)"
  if [ "${now:-0}" -ge "$((best + ${ZQ_TRIM_GAIN:-1}))" ]; then best="$now"; else rm "$kept/$name"; fi
done < <(find "$corpus" "$@" -type f -printf '%s %p\n' | sort -n ${ZQ_TRIM_ORDER:+$([ "$ZQ_TRIM_ORDER" = large ] && echo -r)} | cut -d' ' -f2-)
rm -f "$corpus"/*
cp "$kept"/* "$corpus"/
echo "$(ls "$corpus" | wc -l) inputs, $best edges"
