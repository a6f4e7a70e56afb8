#!/bin/sh
# The soak must notice data that differs from what was written: halfway
# through a short run the tag of worker 7 (unit 3) gets other user memory
# behind the driver's back; the run must end unclean (exit code 1) and
# report the read-back mismatch.
#   changed_tag_test.sh ZELQUAR_SOAK ZELQUAR_SIM
soak="$1"
sim="$2"
work=$(mktemp -d /tmp/zq-soak-changed.XXXXXX) || exit 2
trap 'rm -rf "$work"' EXIT
"$soak" --seconds 15 --seed 3 --dir "$work/run" >"$work/report.json" 2>"$work/summary.txt" &
soak_pid=$!
sleep 7
"$sim" ctl --dir "$work/run/sim3" tag remove 300833B2DDD9014000000007 || exit 2
"$sim" ctl --dir "$work/run/sim3" 'tag add {"epc":"300833B2DDD9014000000007","user":"FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"}' || exit 2
wait "$soak_pid"
code=$?
cat "$work/summary.txt"
if [ "$code" -ne 1 ]; then
  echo "expected exit code 1, got $code"
  exit 1
fi
grep -q '"what": "user memory"' "$work/report.json" || { echo "no user-memory mismatch reported"; exit 1; }
exit 0
