#!/usr/bin/env python3
"""A fleet into one broker: N agents (default 4), each with a simulated reader
of its own, publish to one mosquitto while tags come and go and faults are
injected (a reader unplugged and put back, the broker restarted, an agent
killed with SIGKILL or stopped, then started again). A consumer that knows
only docs/fleet.md (mosquitto_sub with a persistent session, dropping
duplicates by reader and seq) must end with every reader's sequence whole:
each number from 1 to the reader's last, once, in order.

    bench/soak/mqtt_fleet.py --stage STAGE [--minutes 10] [--agents 4] [--seed N] [--broker-down-s 10]

STAGE is an installed tree (cmake --install build --prefix STAGE). Prints a
JSON report; exit code 0 when every sequence is whole, 1 when not, 2 when
the run could not be set up.

Sections: processes; the consumer; faults; the check.
"""
import argparse
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

SITE = "fleet"
BROKER_DOWN_S = 10.0  # the longest broker outage (--broker-down-s)

# ---- processes ------------------------------------------------------------------------------


def free_port(rng):
    return 20000 + rng.randrange(20000)


class Broker:
    def __init__(self, work, port):
        self.port = port
        self.conf = os.path.join(work, "mosquitto.conf")
        with open(self.conf, "w") as f:
            # Sessions and queues kept across restarts, queues without a bound.
            f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\nuser root\n"
                    f"persistence true\npersistence_location {work}/\nautosave_interval 5\n"
                    "max_queued_messages 0\n")
        self.proc = None

    def start(self):
        self.proc = subprocess.Popen(["/usr/sbin/mosquitto", "-c", self.conf],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.5)

    def stop(self):
        if self.proc:
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(timeout=20)
            self.proc = None


class Reader:
    """One simulated reader and the agent that owns it."""

    def __init__(self, stage, work, index, broker_port, http_port):
        self.stage, self.index = stage, index
        self.serial = f"RDR{index}"
        self.sim_dir = os.path.join(work, f"sim{index}")
        self.journal = os.path.join(work, f"journal{index}.db")
        self.http_port = http_port
        self.broker_port = broker_port
        self.log = open(os.path.join(work, f"agent{index}.log"), "a")
        os.makedirs(self.sim_dir, exist_ok=True)
        out = subprocess.run([f"{stage}/bin/zelquar-sim", "--dir", self.sim_dir, "--serial", self.serial, "--daemon"],
                             capture_output=True, text=True, check=True)
        self.sim_pid = int(out.stdout.strip())
        self.agent = None
        self.interval_ms = 100
        self.present = set()

    def ctl(self, *command):
        subprocess.run([f"{self.stage}/bin/zelquar-sim", "ctl", "--dir", self.sim_dir, *command],
                       capture_output=True, text=True, timeout=20)

    def start_agent(self):
        # A driver object namespace per agent: each reader is COM 1 of its own host.
        env = dict(os.environ, ZELQUAR_SIM_DIR=self.sim_dir, ZELQUAR_NAMESPACE=f"zqfleet{os.getpid()}x{self.index}")
        self.agent = subprocess.Popen(
            [f"{self.stage}/bin/zelquar-agent", "--http", f"127.0.0.1:{self.http_port}", "--journal", self.journal,
             "--interval", str(self.interval_ms), "--leave-after", "600", "--site", SITE, "--mqtt", f"mqtt://127.0.0.1:{self.broker_port}"],
            env=env, stdout=self.log, stderr=self.log)

    def stop_agent(self, sig):
        if self.agent:
            self.agent.send_signal(sig)
            self.agent.wait(timeout=30)
            self.agent = None

    def last_seq(self):
        try:
            with urllib.request.urlopen(f"http://127.0.0.1:{self.http_port}/api/readers", timeout=5) as r:
                readers = json.load(r)
            return max((x.get("last_seq", 0) for x in readers if x.get("serial") == self.serial), default=0)
        except OSError:
            return None

    def close(self):
        self.stop_agent(signal.SIGTERM)
        try:
            os.kill(self.sim_pid, signal.SIGTERM)
        except ProcessLookupError:
            pass

# ---- the consumer ---------------------------------------------------------------------------


class Consumer:
    """mosquitto_sub with a persistent session; per reader the first arrival
    of each seq, and the duplicates dropped."""

    def __init__(self, port):
        self.port = port
        self.lock = threading.Lock()
        self.first = {}       # reader -> [seq in order of first arrival]
        self.seen = {}        # reader -> set of seq
        self.duplicates = 0
        self.messages = 0
        self.proc = None
        self.stopping = False
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.stopping:
            # A fixed client id, clean session off and an expiry: the broker
            # queues what comes while this consumer or the broker is away.
            self.proc = subprocess.Popen(
                ["mosquitto_sub", "-V", "5", "-h", "127.0.0.1", "-p", str(self.port), "-i", "zq-fleet-consumer", "-c",
                 "-x", "86400", "-q", "1", "-t", f"zelquar/v1/{SITE}/+/events"],
                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            for line in self.proc.stdout:
                self.take(line)
            self.proc.wait()
            time.sleep(1)  # the broker is away: try again

    def take(self, line):
        try:
            events = json.loads(line)
        except ValueError:
            return
        with self.lock:
            self.messages += 1
            for e in events:
                reader, seq = e["reader"], e["seq"]
                seen = self.seen.setdefault(reader, set())
                if seq in seen:
                    self.duplicates += 1
                    continue
                seen.add(seq)
                self.first.setdefault(reader, []).append(seq)

    def has(self, reader, seq):
        with self.lock:
            return seq in self.seen.get(reader, set())

    def stop(self):
        self.stopping = True
        if self.proc:
            self.proc.terminate()

# ---- faults ---------------------------------------------------------------------------------


def fault(rng, broker, readers, log):
    kind = rng.choice(["unplug", "broker", "kill", "restart"])
    r = rng.choice(readers)
    log.append({"time": round(time.time(), 1), "fault": kind, "reader": r.serial})
    if kind == "unplug":
        r.ctl("unplug")
        time.sleep(rng.uniform(1, 4))
        r.ctl("replug")
    elif kind == "broker":
        broker.stop()
        time.sleep(rng.uniform(3, BROKER_DOWN_S))
        broker.start()
    elif kind == "kill":
        r.stop_agent(signal.SIGKILL)
        time.sleep(rng.uniform(1, 3))
        r.start_agent()
    else:
        r.stop_agent(signal.SIGTERM)
        time.sleep(rng.uniform(0.5, 2))
        r.start_agent()


def change_tags(rng, readers):
    r = rng.choice(readers)
    epc = "30083400000000000000%04X" % rng.randrange(20)
    if epc in r.present:
        r.ctl("tag remove " + epc)
        r.present.discard(epc)
    else:
        r.ctl("tag add " + json.dumps({"epc": epc}))
        r.present.add(epc)

# ---- the check ------------------------------------------------------------------------------


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--stage", required=True)
    p.add_argument("--minutes", type=float, default=10)
    p.add_argument("--agents", type=int, default=4)
    p.add_argument("--seed", type=int, default=int(time.time()))
    p.add_argument("--fault-every-s", type=float, default=20)
    p.add_argument("--broker-down-s", type=float, default=10, help="the longest broker outage, seconds (at least 3)")
    a = p.parse_args()
    global BROKER_DOWN_S
    BROKER_DOWN_S = max(3.0, a.broker_down_s)
    rng = random.Random(a.seed)
    work = tempfile.mkdtemp(prefix="zq-mqtt-fleet-")
    broker = Broker(work, free_port(rng))
    readers, consumer, faults = [], None, []
    try:
        broker.start()
        consumer = Consumer(broker.port)
        time.sleep(1)
        for i in range(1, a.agents + 1):
            readers.append(Reader(a.stage, work, i, broker.port, free_port(rng)))
            readers[-1].start_agent()
        end = time.time() + a.minutes * 60
        next_fault = time.time() + a.fault_every_s
        while time.time() < end:
            change_tags(rng, readers)
            if time.time() >= next_fault:
                fault(rng, broker, readers, faults)
                next_fault = time.time() + a.fault_every_s * rng.uniform(0.5, 1.5)
            time.sleep(rng.uniform(0.2, 1.0))
        if broker.proc is None:
            broker.start()
        # Every reader's last number, then until the consumer has them all.
        time.sleep(3)
        lasts = {}
        for r in readers:
            for _ in range(30):
                lasts[r.serial] = r.last_seq()
                if lasts[r.serial] is not None:
                    break
                time.sleep(1)
        deadline = time.time() + 120
        while time.time() < deadline and not all(consumer.has(s, n) for s, n in lasts.items() if n):
            time.sleep(1)
        report = {"seed": a.seed, "minutes": a.minutes, "agents": a.agents, "faults": len(faults),
                  "messages": consumer.messages, "duplicates_dropped": consumer.duplicates, "readers": {}}
        whole = True
        for serial, last in lasts.items():
            first = consumer.first.get(serial, [])
            missing = sorted(set(range(1, (last or 0) + 1)) - set(first))
            in_order = all(x < y for x, y in zip(first, first[1:]))
            ok = last is not None and last > 0 and not missing and in_order
            whole = whole and ok
            report["readers"][serial] = {"last_seq": last, "received": len(first), "missing": missing[:50],
                                         "missing_count": len(missing), "in_order": in_order, "whole": ok}
        report["fault_log"] = faults
        report["whole"] = whole
        print(json.dumps(report, indent=1))
        return 0 if whole else 1
    except (OSError, subprocess.SubprocessError) as e:
        print(f"mqtt_fleet: {e}", file=sys.stderr)
        return 2
    finally:
        if consumer:
            consumer.stop()
        for r in readers:
            r.close()
        broker.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
