#!/usr/bin/env python3
"""From a tag's appearance in the simulator to a subscriber's receipt of its
`appear` event over MQTT: one agent with a simulated reader, one mosquitto,
one mosquitto_sub; a tag added N times (and removed again after its leave),
at each inventory interval asked for. Prints the percentiles as JSON.

    bench/mqtt_latency.py --stage STAGE [--tags 40] [--intervals 200,50]

STAGE is an installed tree (cmake --install build --prefix STAGE).
"""
import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "soak"))
from mqtt_fleet import SITE, Broker, Reader  # noqa: E402


class Arrivals:
    """mosquitto_sub on the reader's events: the receipt time of each (type, epc)."""

    def __init__(self, port, serial):
        self.times = {}
        self.cond = threading.Condition()
        self.proc = subprocess.Popen(["mosquitto_sub", "-V", "5", "-h", "127.0.0.1", "-p", str(port), "-q", "1",
                                      "-t", f"zelquar/v1/{SITE}/{serial}/events"],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        threading.Thread(target=self.run, daemon=True).start()

    def run(self):
        for line in self.proc.stdout:
            now = time.monotonic()
            try:
                events = json.loads(line)
            except ValueError:
                continue
            with self.cond:
                for e in events:
                    self.times.setdefault((e["type"], e.get("epc", "")), now)
                self.cond.notify_all()

    def wait(self, key, timeout=20):
        with self.cond:
            self.cond.wait_for(lambda: key in self.times, timeout)
            return self.times.get(key)


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100 * (len(values) - 1))))]


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--stage", required=True)
    p.add_argument("--tags", type=int, default=40)
    p.add_argument("--intervals", default="200,50")
    a = p.parse_args()
    rng = random.Random(1)
    results = {}
    for interval in [int(x) for x in a.intervals.split(",")]:
        work = tempfile.mkdtemp(prefix="zq-mqtt-latency-")
        broker = Broker(work, 20000 + rng.randrange(20000))
        reader = None
        try:
            broker.start()
            reader = Reader(a.stage, work, 1, broker.port, 20000 + rng.randrange(20000))
            arrivals = Arrivals(broker.port, reader.serial)
            time.sleep(0.5)
            reader.interval_ms = interval
            reader.start_agent()
            arrivals.wait(("reader", ""), 20)
            time.sleep(2)
            latencies = []
            for i in range(a.tags):
                epc = "3008340000000000000%05X" % i
                t0 = time.monotonic()
                reader.ctl("tag add " + json.dumps({"epc": epc}))
                got = arrivals.wait(("appear", epc))
                if got is not None:
                    latencies.append((got - t0) * 1000)
                reader.ctl("tag remove " + epc)
                arrivals.wait(("leave", epc))
                time.sleep(rng.uniform(0, interval / 1000))
            results[f"interval_ms={interval}"] = {
                "samples": len(latencies), "p50_ms": round(percentile(latencies, 50)),
                "p90_ms": round(percentile(latencies, 90)), "p99_ms": round(percentile(latencies, 99)),
                "max_ms": round(max(latencies))} if latencies else {"samples": 0}
            arrivals.proc.terminate()
        finally:
            if reader:
                reader.close()
            broker.stop()
            shutil.rmtree(work, ignore_errors=True)
    print(json.dumps(results, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
