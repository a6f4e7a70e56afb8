#!/usr/bin/env python3
"""The reader service's long run: nothing missing through a restart and an unplug.

Runs an installed zelquar-agent against a simulated reader whose tags change
every second (one tag added, the oldest removed once 20 are there), with a
consumer that reads every event over the API by sequence number. A third of
the way in the agent is killed with SIGKILL and started again; two thirds in
the reader is unplugged for thirty seconds and plugged in again. At the end it
reports, as JSON, what it saw, and exits 1 when a sequence number is missing
or repeated, when the numbers did not go on across the restart, when a tag
in the field for five seconds with the agent and the reader there never
appeared, or when the reader events of the unplug are absent.

    bench/agent_soak.py --prefix STAGE [--seconds 3600]

STAGE is an installation (cmake --install BUILD --prefix STAGE).
"""
import argparse
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Soak:
    def __init__(self, prefix, seconds):
        self.prefix = prefix
        self.seconds = seconds
        self.dir = tempfile.mkdtemp(prefix="zq-agent-soak-")
        self.port = free_port()
        self.env = dict(os.environ, ZELQUAR_NAMESPACE="soak-%d" % os.getpid(), ZELQUAR_SIM_DIR=self.dir + "/sim")
        self.agent = None
        self.lock = threading.Lock()
        self.added = {}     # epc -> time added
        self.removed = {}   # epc -> time removed
        self.appeared = {}  # epc -> count of appear events
        self.left = {}      # epc -> count of leave events
        self.last_seq = {}  # reader -> last sequence number seen
        self.boots = {}     # reader -> boot ids in the order seen
        self.errors = []
        self.events = 0
        self.reader_events = []
        self.stop = threading.Event()
        self.control_answers = []
        self.outages = []   # (start, end) while the agent was down or the reader out

    # ---- processes ---------------------------------------------------------------------------

    def bin(self, name):
        return os.path.join(self.prefix, "bin", name)

    def ctl(self, *words):
        out = subprocess.run([self.bin("zelquar-sim"), "ctl", "--dir", self.dir + "/sim", *words],
                             env=self.env, capture_output=True, text=True, timeout=30)
        return out.stdout.strip()

    def start_agent(self):
        self.agent = subprocess.Popen(
            [self.bin("zelquar-agent"), "--http", "127.0.0.1:%d" % self.port, "--journal", self.dir + "/journal.db",
             "--interval", "100", "--leave-after", "1500"],
            env=self.env, stdout=subprocess.DEVNULL, stderr=open(self.dir + "/agent.log", "a"))

    def start(self):
        os.makedirs(self.dir + "/sim", mode=0o700)
        subprocess.run([self.bin("zelquar-sim"), "--dir", self.dir + "/sim", "--daemon"], env=self.env, check=True,
                       stdout=subprocess.DEVNULL, timeout=30)
        self.start_agent()

    def finish(self):
        self.stop.set()
        if self.agent and self.agent.poll() is None:
            self.agent.send_signal(signal.SIGTERM)
            self.agent.wait(timeout=30)
        self.ctl("quit")
        shutil.rmtree(self.dir, ignore_errors=True)

    # ---- the field: one tag in, the oldest out, every second -----------------------------------

    def change_tags(self):
        n = 0
        present = []
        while not self.stop.is_set():
            n += 1
            epc = "E2801170%016X" % n
            if self.ctl("tag", "add", json.dumps({"epc": epc})) == "OK":
                with self.lock:
                    self.added[epc] = time.time()
                present.append(epc)
            if len(present) > 20:
                gone = present.pop(0)
                if self.ctl("tag", "remove", gone) == "OK":
                    with self.lock:
                        self.removed[gone] = time.time()
            self.stop.wait(1.0)

    # ---- the consumer: every event, by sequence number ----------------------------------------

    def get(self, path):
        with urllib.request.urlopen("http://127.0.0.1:%d%s" % (self.port, path), timeout=70) as r:
            return json.loads(r.read())

    def consume(self):
        after = 0
        while not self.stop.is_set():
            try:
                events = self.get("/api/events?after=%d&wait_ms=5000" % after)
            except (urllib.error.URLError, ConnectionError, OSError, ValueError):
                time.sleep(0.2)  # the agent restarting
                continue
            for e in events:
                self.take(e)
                after = max(after, e["seq"])

    def take(self, e):
        reader, seq = e["reader"], e["seq"]
        with self.lock:
            self.events += 1
            last = self.last_seq.get(reader)
            if last is not None and seq != last + 1:
                self.errors.append("reader %s: %d after %d" % (reader, seq, last))
            self.last_seq[reader] = seq if last is None else max(last, seq)
            boots = self.boots.setdefault(reader, [])
            if not boots or boots[-1] != e["boot"]:
                boots.append(e["boot"])
            if e["type"] == "appear":
                self.appeared[e["epc"]] = self.appeared.get(e["epc"], 0) + 1
            elif e["type"] == "leave":
                self.left[e["epc"]] = self.left.get(e["epc"], 0) + 1
            elif e["type"] in ("reader", "gap"):
                self.reader_events.append({k: e.get(k) for k in ("type", "state", "seq", "time")})

    # ---- the run --------------------------------------------------------------------------------

    def run(self):
        self.start()
        threads = [threading.Thread(target=self.change_tags, daemon=True),
                   threading.Thread(target=self.consume, daemon=True)]
        for t in threads:
            t.start()
        began = time.time()
        restart_at, unplug_at = self.seconds / 3, 2 * self.seconds / 3
        restarted = unplugged = False
        while time.time() - began < self.seconds:
            elapsed = time.time() - began
            if not restarted and elapsed >= restart_at:
                down = time.time()
                self.agent.kill()
                self.agent.wait()
                time.sleep(2)
                self.start_agent()
                self.outages.append((down, time.time()))
                restarted = True
            if not unplugged and elapsed >= unplug_at:
                out = time.time()
                self.control_answers.append(self.ctl("unplug"))
                time.sleep(30)
                self.control_answers.append(self.ctl("replug"))
                self.outages.append((out, time.time()))
                unplugged = True
            time.sleep(0.5)
        # The last tags added get their time to appear, then the consumer stops.
        time.sleep(5)
        self.stop.set()
        for t in threads:
            t.join(timeout=80)
        return self.report(began)

    def observable(self, start, end):
        """Seconds of [start, end] with the agent up and the reader in, less
        the ten seconds a reopen may take after each outage."""
        seconds = end - start
        for down, up in self.outages:
            seconds -= max(0.0, min(end, up + 10) - max(start, down))
        return seconds

    def report(self, began):
        with self.lock:
            now = time.time()
            never = [e for e, t in self.added.items()
                     if self.observable(t, self.removed.get(e, now)) >= 5 and e not in self.appeared]
            states = [r.get("state") for r in self.reader_events if r["type"] == "reader"]
            restarts_continued = all(len(b) >= 2 for b in self.boots.values())
            result = {
                "seconds": round(time.time() - began),
                "events": self.events,
                "readers": {r: {"last_seq": s, "boots": len(self.boots[r])} for r, s in self.last_seq.items()},
                "tags_added": len(self.added),
                "tags_removed": len(self.removed),
                "appear_events": sum(self.appeared.values()),
                "leave_events": sum(self.left.values()),
                "tags_never_appeared": never,
                "reader_states": states,
                "sequence_errors": self.errors,
                "unplug_answers": self.control_answers,
            }
            ok = bool(not self.errors and not never and self.last_seq and restarts_continued and
                      any(s in ("offline", "error") for s in states) and
                      any(s in ("recovered", "online") for s in states))
            result["ok"] = ok
            return result


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--prefix", required=True, help="an installation of the stack")
    ap.add_argument("--seconds", type=int, default=3600)
    args = ap.parse_args()
    soak = Soak(os.path.abspath(args.prefix), args.seconds)
    try:
        result = soak.run()
    finally:
        soak.finish()
    print(json.dumps(result, indent=2))
    return 0 if result["ok"] else 1


if __name__ == "__main__":
    sys.exit(main())
