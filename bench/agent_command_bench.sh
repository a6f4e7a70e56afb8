#!/bin/bash
# A tag read through a running zelquar-agent against the same read by a
# fresh zelquar process that opens the port itself.
#   bench/agent_command_bench.sh PREFIX   (an installed tree)
set -e
P=$(cd "${1:?usage: agent_command_bench.sh PREFIX}" && pwd)
W=$(mktemp -d); mkdir -m 700 $W/sim
export ZELQUAR_SIM_DIR=$W/sim ZELQUAR_NAMESPACE=cmdb-$$ ZELQUAR_AGENT=127.0.0.1:28999
$P/bin/zelquar-sim --dir $W/sim --daemon >/dev/null
$P/bin/zelquar-agent --http 127.0.0.1:28999 --journal $W/j.db --interval 200 2>/dev/null & A=$!
sleep 3
EPC=$($P/bin/zelquar --json inventory | python3 -c 'import json,sys; print(json.load(sys.stdin)["tags"][0]["epc"])')
t0=$(date +%s.%N); for i in $(seq 20); do $P/bin/zelquar read --epc $EPC --bank tid --words 4 >/dev/null; done; t1=$(date +%s.%N)
echo "through the agent: $(python3 -c "print(round(($t1-$t0)/20*1000,1))") ms per command (20 runs, process start included)"
kill $A; wait $A 2>/dev/null || true
t0=$(date +%s.%N); for i in $(seq 3); do $P/bin/zelquar read --epc $EPC --bank tid --words 4 >/dev/null; done; t1=$(date +%s.%N)
echo "fresh process opening the port: $(python3 -c "print(round(($t1-$t0)/3*1000,1))") ms per command (3 runs)"
$P/bin/zelquar-sim ctl --dir $W/sim quit >/dev/null || true
rm -rf $W
