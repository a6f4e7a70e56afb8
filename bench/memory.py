#!/usr/bin/env python3
"""Resident memory of the stack's processes, read from /proc/PID/status.

Sections: reading /proc; the figures of one application (the driver loaded
and a port open, the collector, the simulator with 1,000 and 10,000 tags);
the reader service (zelquar-agent on a simulator of its own, with its 3
default tags and 10,000 tags); growth over a run; the soak (every process
of zelquar-soak sampled every --every seconds); the reader service's soak.

  bench/memory.py [--build build] [--quick]
      VmRSS and VmHWM (the peak) in KiB of: zq_bench_memory_app before it
      loads anything, then with the installed driver loaded and COM 1 open
      after 100 inventories; the collector (ZELQUAR_Outlog) it started; its
      simulated reader with the default tags, 1,000 and 10,000 tags (each
      after 10 inventories over them). Then zelquar-agent (its own
      configuration file, journal and installation in a temporary
      directory, HTTP on a free loopback port) on a simulator of its own:
      with the simulator's 3 default tags, then with 10,000 generated tags,
      each read once its table (GET /api/health) holds them and it has run
      twice history_points (100) inventories more, so that every tag's
      strength history is full; after one GET /api/tags, which must list
      every generated tag as present, and after 8 more. --quick (the test
      suite's run) gives the agent 1,000 tags, history_points 10 and
      interval_ms 50.
  bench/memory.py --soak SECONDS [--every 10] [--build build]
      runs zelquar-soak for SECONDS and samples VmRSS of each of its
      processes (the soak, its 8 workers, 4 simulators, the collector);
      prints each one's first sample after the first minute, its last, its
      largest, and its growth: the largest sample of the last third of the
      run less the largest of the first third after the first minute (a
      process whose threads come and go moves up and down; a leak keeps
      rising). --series FILE writes every sample (seconds, pid, name, KiB).
      Exit code 1 when the soak failed or a worker, a simulator or the
      collector grew by more than --grow-kib (the soak program itself
      gathers the workers' reports and the log files at its end).
  bench/memory.py --agent-soak SECONDS [--tags-poll 1] [--every 10] [--build build]
      zelquar-agent (as above, default settings) for SECONDS on a simulator
      holding 10,000 tags and a field that changes every second: a tag of
      a pool of 50 comes in, the oldest goes once 20 are in (each EPC
      comes back after it left, so the table's size stays bounded: a tag
      that left is kept for an hour), while a consumer long-polls
      GET /api/events and a page polls GET /api/tags every --tags-poll
      seconds (1, as the live view; 0: no page) on a keep-alive
      connection. Samples VmRSS of the agent and its simulator and
      reports them as --soak does. Exit code 1 when either grew by more
      than --grow-kib, the agent ended, its events skipped or repeated a
      sequence number, no tag of the pool appeared and left, or the page
      got no listing.
"""
import argparse
import http.client
import json
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

# ---- reading /proc --------------------------------------------------------


def status(pid):
    """{'VmRSS': kib, 'VmHWM': kib} of a process; {} once it has gone."""
    out = {}
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                key, _, value = line.partition(":")
                if key in ("VmRSS", "VmHWM"):
                    out[key] = int(value.split()[0])
    except (FileNotFoundError, ProcessLookupError):
        return {}
    return out


def arg0(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read().split(b"\0")[0].decode(errors="replace")
    except OSError:
        return ""


def collector_of(starter):
    """The collector a process started (its argument element 0 is the
    starter's pid in 8 hexadecimal digits); None when there is none."""
    mine = f"{starter:08x}"
    for entry in os.listdir("/proc"):
        if entry.isdigit() and arg0(int(entry)) == mine:
            return int(entry)
    return None


def processes_of_namespace(ns):
    """{pid: short name} of this user's processes whose environment holds
    ZELQUAR_NAMESPACE=ns."""
    want = f"ZELQUAR_NAMESPACE={ns}".encode()
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/environ", "rb") as f:
                if want not in f.read().split(b"\0"):
                    continue
        except OSError:
            continue
        name = os.path.basename(arg0(int(entry)))
        found[int(entry)] = name
    return found


# ---- one application ------------------------------------------------------


class App:
    """zq_bench_memory_app, driven a line at a time."""

    def __init__(self, program, directory):
        self.proc = subprocess.Popen([program, directory], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.expect_ok()

    def expect_ok(self):
        line = self.proc.stdout.readline().strip()
        if not line.startswith("ok"):
            raise RuntimeError(f"zq_bench_memory_app: {line or 'no answer'}")
        return line

    def ask(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()
        return self.expect_ok()

    def close(self):
        """Ends the application: closes the port, unloads the driver,
        stops the simulator. Raises when it did not end cleanly."""
        self.proc.stdin.close()
        code = self.proc.wait(timeout=60)
        if code != 0:
            raise RuntimeError(f"zq_bench_memory_app ended with exit code {code}")


def write_tags(path, count):
    with open(path, "w") as f:
        f.write('{"tags": [\n')
        f.write(",\n".join(f'{{"epc": "E2000017{i:08X}", "tid": "E2801160{i:08X}", "rssi": {1000 + i % 1000}}}'
                           for i in range(count)))
        f.write("\n]}\n")


def sim_pid(directory):
    for name in os.listdir(os.path.join(directory, "sim")):
        if name.endswith(".json"):
            with open(os.path.join(directory, "sim", name)) as f:
                return json.load(f)["server_pid"]
    return None


def row(what, pid, note=""):
    s = status(pid) if pid else {}
    if "VmRSS" not in s:
        raise RuntimeError(f"{what}: no such process")
    print(f"| {what} | {s.get('VmRSS', 0):,} | {s.get('VmHWM', 0):,} | {note} |")
    return s


def figures(build):
    program = os.path.join(build, "bench", "zq_bench_memory_app")
    work = tempfile.mkdtemp(prefix="zq-memory-")
    directory = os.path.join(work, "install")
    try:
        app = App(program, directory)
    except BaseException:
        os.rmdir(work)
        raise
    try:
        print("| process | VmRSS KiB | VmHWM KiB | state |")
        print("|---|---|---|---|")
        row("application, nothing loaded", app.proc.pid, "before the driver is loaded")
        app.ask("open")
        app.ask("inventory 100")
        row("application, driver loaded, port open", app.proc.pid, "after 100 inventories")
        row("collector (ZELQUAR_Outlog)", collector_of(app.proc.pid), "after the open and 100 inventories at LogLevel 1")
        sim = sim_pid(directory)
        row("simulator, 3 tags (its default)", sim, "after 100 inventories")
        for count in (1000, 10000):
            tags = os.path.join(work, f"tags{count}.json")
            write_tags(tags, count)
            app.ask(f"tags {tags}")
            app.ask("inventory 10")
            row(f"simulator, {count:,} tags", sim, "after 10 inventories over them")
        row("application, driver loaded, port open", app.proc.pid, "at the end")
    finally:
        try:
            app.close()
        finally:
            for name in os.listdir(work):
                if name.endswith(".json"):
                    os.remove(os.path.join(work, name))
            os.rmdir(work)


# ---- the reader service ---------------------------------------------------

# Where a build puts what an agent run installs and starts.
BUILT = {
    "driver": os.path.join("driver", "libZELQUAR_Drv.so"),
    "comm": os.path.join("comm", "libZqRfrwCommVO.so"),
    "firmware": os.path.join("firmware", "ZQRWDSP01.dwl"),
    "sim": os.path.join("sim", "zelquar-sim"),
    "agent": os.path.join("agent", "zelquar-agent"),
}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class AgentRun:
    """zelquar-agent on a simulator of its own: the driver installed in a
    temporary directory (library, comm library, firmware file, INI file),
    an object namespace and a simulator directory of their own, the agent's
    configuration file and journal beside them, its API on a free loopback
    port. close() stops the agent and the simulator and removes all of it."""

    def __init__(self, build, settings=""):
        self.build = build
        self.dir = tempfile.mkdtemp(prefix="zq-memory-agent-")
        self.ns = f"zq-memory-agent-{os.getpid()}"
        self.env = dict(os.environ, ZELQUAR_NAMESPACE=self.ns, ZELQUAR_SIM_DIR=os.path.join(self.dir, "sim"),
                        ZELQUAR_LIBRARY=os.path.join(self.dir, "libZELQUAR_Drv.so"))
        self.port = free_port()
        self.agent = None
        self.log = None
        self.sim = None
        for what in ("driver", "comm", "firmware"):
            shutil.copy(self.program(what), self.dir)
        with open(os.path.join(self.dir, "ZELQUAR_Drv.ini"), "w") as f:
            f.write("[RFRW_Drv]\nAdminCheckCut=1\nLogFileFlg=0\n")
        with open(os.path.join(self.dir, "agent.conf"), "w") as f:
            f.write(f"http = 127.0.0.1:{self.port}\njournal = {self.dir}/journal.db\n{settings}")
        os.mkdir(os.path.join(self.dir, "sim"), 0o700)
        out = subprocess.run([self.program("sim"), "--dir", os.path.join(self.dir, "sim"), "--daemon"], env=self.env,
                             capture_output=True, text=True, timeout=30)
        if out.returncode != 0 or not out.stdout.strip().isdigit():
            raise RuntimeError(f"zelquar-sim did not start: {out.stderr.strip() or out.stdout.strip()}")
        self.sim = int(out.stdout.strip())

    def program(self, what):
        return os.path.join(self.build, BUILT[what])

    def ctl(self, *words):
        """One control command to the simulator; its answer line."""
        out = subprocess.run([self.program("sim"), "ctl", "--dir", os.path.join(self.dir, "sim"), *words],
                             env=self.env, capture_output=True, text=True, timeout=60)
        return out.stdout.strip()

    def load_tags(self, count):
        path = os.path.join(self.dir, f"tags{count}.json")
        write_tags(path, count)
        answer = self.ctl("tags", "load", path)
        if answer != "OK":
            raise RuntimeError(f"the simulator did not load {count} tags: {answer}")

    def start(self):
        self.log = open(os.path.join(self.dir, "agent.log"), "w")
        self.agent = subprocess.Popen([self.program("agent"), "--config", os.path.join(self.dir, "agent.conf")],
                                      env=self.env, stdout=subprocess.DEVNULL, stderr=self.log)
        self.until(lambda h: True, 30, "the agent's API to answer")

    def get(self, path, timeout=60):
        with urllib.request.urlopen(f"http://127.0.0.1:{self.port}{path}", timeout=timeout) as r:
            return json.loads(r.read())

    def health(self):
        try:
            return self.get("/api/health", timeout=10)
        except (urllib.error.URLError, ConnectionError, OSError, ValueError):
            return None

    def until(self, done, seconds, what):
        """Polls GET /api/health until done(health) holds; returns that
        health. Raises after `seconds`, or when the agent ended."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if self.agent.poll() is not None:
                raise RuntimeError(f"zelquar-agent ended (exit code {self.agent.returncode}) waiting for {what}: "
                                   f"{self.log_text()}")
            h = self.health()
            if h is not None and done(h):
                return h
            time.sleep(0.2)
        raise RuntimeError(f"zelquar-agent: no {what} in {seconds} s (health: {self.health()})")

    def log_text(self):
        with open(os.path.join(self.dir, "agent.log")) as f:
            return f.read().strip()[-2000:]

    def close(self):
        try:
            if self.agent and self.agent.poll() is None:
                self.agent.send_signal(signal.SIGTERM)
                self.agent.wait(timeout=30)
        finally:
            if self.log:
                self.log.close()
            if self.sim:
                self.ctl("quit")
            shutil.rmtree(self.dir, ignore_errors=True)
            prefix = f"ZELQUAR.{self.ns}."
            for name in os.listdir("/dev/shm"):
                if name.startswith(prefix):
                    os.remove(os.path.join("/dev/shm", name))


def agent_figures(build, quick):
    """The agent's rows: with the simulator's 3 default tags, then with
    10,000 (1,000 with quick) generated tags in its table."""
    count, points, interval = (1000, 10, 50) if quick else (10000, 100, 200)
    run = AgentRun(build, f"history_points = {points}\ninterval_ms = {interval}\n")
    try:
        run.start()
        pid = run.agent.pid
        h = run.until(lambda h: h["tags"] >= 3, 60, "table of the 3 default tags")
        rounds = h["rounds"] + 2 * points
        run.until(lambda h: h["rounds"] >= rounds, 120, f"{2 * points} inventories")
        row("reader service, 3 tags (the simulator's default)", pid,
            f"after {2 * points} inventories (history_points {points}, interval_ms {interval})")
        defaults = {t["epc"] for t in run.get("/api/tags") if t["present"]}
        if len(defaults) != 3:
            raise RuntimeError(f"GET /api/tags: {len(defaults)} tags present, not the simulator's 3")
        run.load_tags(count)
        h = run.until(lambda h: h["tags"] >= count + 3, 120, f"table of {count} tags")
        row(f"reader service, {count:,} tags", pid, "when its table first holds them")
        rounds = h["rounds"] + 2 * points
        run.until(lambda h: h["rounds"] >= rounds, 600, f"{2 * points} inventories")
        row(f"reader service, {count:,} tags", pid, f"after {2 * points} inventories over them (every tag's "
            f"{points} strength points kept)")
        # The API lists every generated tag as present; beside them at most
        # the default tags the load took away, until leave_after_ms passed.
        present = {t["epc"] for t in run.get("/api/tags") if t["present"]}
        wanted = {f"E2000017{i:08X}" for i in range(count)}
        if not wanted <= present or not present - wanted <= defaults:
            raise RuntimeError(f"GET /api/tags: {len(present & wanted)} of the {count} tags present, "
                               f"{len(present - wanted - defaults)} others")
        row(f"reader service, {count:,} tags", pid, "after one GET /api/tags of the whole table")
        # Each connection is served by a thread of the API's pool, whose
        # allocator arena keeps what building the answer took.
        for _ in range(8):
            if len(run.get("/api/tags")) < count:
                raise RuntimeError("GET /api/tags: fewer tags than the table holds")
        row(f"reader service, {count:,} tags", pid, "after 8 more GET /api/tags, each on a connection of its own")
    finally:
        run.close()


# ---- growth over a run ----------------------------------------------------


def growth(series, seconds, level="peak", settle=60):
    """The largest sample of the last third less the largest of the first
    third after `settle` seconds; with level "median", the middle samples
    of those thirds instead (for a process whose answers in flight lift
    single samples by tens of MiB: a leak lifts them all)."""
    settled = [(t, r) for t, r in series if t >= settle] or series
    span = max(seconds - settle, 1)
    early = [r for t, r in settled if t < settle + span / 3] or [settled[0][1]]
    late = [r for t, r in settled if t >= seconds - span / 3] or [settled[-1][1]]
    if level == "median":
        return statistics.median_low(late) - statistics.median_low(early)
    return max(late) - max(early)


def growth_table(samples, seconds, grow_kib, judged, series_file, level="peak", settle=60):
    """Prints each process's samples ({(pid, name): [(t, rss)]}) as a row
    and writes them to series_file when one is named; returns the names of
    the processes among `judged` (pids) that grew by more than grow_kib
    (growth() with `level` and `settle`)."""
    print(f"| process | pid | first after {settle} s KiB | last KiB | largest KiB | growth KiB ({level}) | samples |")
    print("|---|---|---|---|---|---|---|")
    grown = []
    for (pid, name), series in sorted(samples.items(), key=lambda kv: (kv[0][1], kv[0][0])):
        settled = [s for s in series if s[0] >= settle] or series
        first, last = settled[0][1], settled[-1][1]
        largest = max(r for _, r in settled)
        grew = growth(series, seconds, level, settle)
        if grew > grow_kib and pid in judged:
            grown.append(name)
        print(f"| {name} | {pid} | {first:,} | {last:,} | {largest:,} | {grew:+,} | {len(series)} |")
    if series_file:
        with open(series_file, "w") as f:
            for (pid, name), series in samples.items():
                for t, rss in series:
                    f.write(f"{t:.0f} {pid} {name} {rss}\n")
    return grown


# ---- the soak -------------------------------------------------------------


def soak(build, seconds, every, grow_kib, series_file):
    program = os.path.join(build, "bench", "soak", "zelquar-soak")
    proc = subprocess.Popen([program, "--seconds", str(seconds)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            text=True)
    ns = f"zq-soak-{proc.pid}"
    started = time.monotonic()
    samples = {}  # (pid, name) -> [(t, rss)]
    while proc.poll() is None:
        time.sleep(every)
        t = time.monotonic() - started
        # The soak sets the namespace after it started: its own environment
        # does not show it, its children's do.
        for pid, name in {proc.pid: "zelquar-soak", **processes_of_namespace(ns)}.items():
            rss = status(pid).get("VmRSS")
            if rss is not None:
                samples.setdefault((pid, name), []).append((t, rss))
    error = proc.stderr.read()
    print(f"zelquar-soak --seconds {seconds}: exit {proc.returncode}, RSS sampled every {every} s")
    judged = {pid for pid, _ in samples if pid != proc.pid}
    grown = growth_table(samples, seconds, grow_kib, judged, series_file)
    if proc.returncode != 0:
        sys.stderr.write(error)
    return 1 if proc.returncode != 0 or grown else 0


# ---- the reader service's soak --------------------------------------------


class FieldChurn:
    """A field that changes every second: a tag of a pool of 50 comes in,
    the oldest goes once 20 are in; a consumer that long-polls
    GET /api/events and checks that each reader's sequence numbers follow
    one another; and, with tags_poll, a page as the live view is one: GET
    /api/tags every tags_poll seconds on one keep-alive connection, opened
    again when the server closes it."""

    POOL = [f"E2801170{i:016X}" for i in range(50)]

    def __init__(self, run, tags_poll):
        self.run = run
        self.tags_poll = tags_poll
        self.stop = threading.Event()
        self.lock = threading.Lock()
        self.changes = 0
        self.events = 0
        self.appeared = 0  # appear events of the pool's tags
        self.left = 0      # leave events of the pool's tags
        self.listings = 0  # GET /api/tags answered
        self.connections = 0  # connections the page opened
        self.errors = []
        self.threads = [threading.Thread(target=self.change, daemon=True),
                        threading.Thread(target=self.consume, daemon=True)]
        if tags_poll:
            self.threads.append(threading.Thread(target=self.page, daemon=True))

    def start(self):
        for t in self.threads:
            t.start()

    def finish(self):
        self.stop.set()
        for t in self.threads:
            t.join(timeout=90)

    def change(self):
        present = []
        n = 0
        while not self.stop.is_set():
            epc = self.POOL[n % len(self.POOL)]
            n += 1
            answer = self.run.ctl("tag", "add", json.dumps({"epc": epc}))
            if answer == "OK":
                present.append(epc)
            else:
                self.fail(f"tag add {epc}: {answer}")
            if len(present) > 20:
                gone = present.pop(0)
                answer = self.run.ctl("tag", "remove", gone)
                if answer != "OK":
                    self.fail(f"tag remove {gone}: {answer}")
            with self.lock:
                self.changes += 1
            self.stop.wait(1.0)

    def consume(self):
        after = 0
        last = {}
        pool = set(self.POOL)
        while not self.stop.is_set():
            try:
                events = self.run.get(f"/api/events?after={after}&wait_ms=5000", timeout=70)
            except (urllib.error.URLError, ConnectionError, OSError, ValueError) as e:
                self.fail(f"GET /api/events: {e}")
                self.stop.wait(1.0)
                continue
            with self.lock:
                for e in events:
                    reader, seq = e["reader"], e["seq"]
                    if reader in last and seq != last[reader] + 1:
                        self.errors.append(f"reader {reader}: event {seq} after {last[reader]}")
                    last[reader] = seq
                    after = max(after, seq)
                    self.events += 1
                    if e.get("epc") in pool:
                        self.appeared += e["type"] == "appear"
                        self.left += e["type"] == "leave"

    def page(self):
        connection = None
        while not self.stop.wait(self.tags_poll):
            try:
                if connection is None:
                    connection = http.client.HTTPConnection("127.0.0.1", self.run.port, timeout=60)
                    with self.lock:
                        self.connections += 1
                connection.request("GET", "/api/tags")
                answer = connection.getresponse()
                body = answer.read()
                if answer.status != 200 or not isinstance(json.loads(body), list):
                    self.fail(f"GET /api/tags: {answer.status}")
                with self.lock:
                    self.listings += 1
                if answer.getheader("Connection", "").lower() == "close":
                    connection.close()
                    connection = None
            except (http.client.HTTPException, OSError, ValueError):
                # The server closed the kept connection (after its count of
                # requests or its idle time): the next poll opens another.
                if connection:
                    connection.close()
                connection = None
        if connection:
            connection.close()

    def fail(self, why):
        with self.lock:
            if len(self.errors) < 20:
                self.errors.append(why)


def agent_soak(build, seconds, every, grow_kib, series_file, tags_poll):
    count = 10000
    run = AgentRun(build)
    churn = None
    try:
        run.load_tags(count)
        started = time.monotonic()
        run.start()
        run.until(lambda h: h["tags"] >= count, 120, f"table of {count} tags")
        churn = FieldChurn(run, tags_poll)
        churn.start()
        samples = {}  # (pid, name) -> [(t, rss)]
        processes = {run.agent.pid: "zelquar-agent", run.sim: "zelquar-sim"}
        ended = False
        while time.monotonic() - started < seconds:
            time.sleep(every)
            if run.agent.poll() is not None:
                ended = True
                break
            t = time.monotonic() - started
            for pid, name in processes.items():
                rss = status(pid).get("VmRSS")
                if rss is not None:
                    samples.setdefault((pid, name), []).append((t, rss))
        churn.finish()
        h = run.health() or {}
        page = f", GET /api/tags every {tags_poll:g} s" if tags_poll else ", no GET /api/tags"
        print(f"zelquar-agent for {seconds:.0f} s on {count:,} tags and a changing field{page}, "
              f"RSS sampled every {every:g} s")
        # Judged by the middle of its samples after two minutes: a listing in
        # flight lifts a sample by up to 25 MiB for a moment, and the tags'
        # strength histories take that long to fill.
        grown = growth_table(samples, seconds, grow_kib, set(processes), series_file, level="median", settle=120)
        with churn.lock:
            print(f"field changes {churn.changes}; events read {churn.events}; the pool's appear {churn.appeared}, "
                  f"leave {churn.left}; GET /api/tags {churn.listings} on {churn.connections} connections; "
                  f"inventories {h.get('rounds')}, tags in the table {h.get('tags')}, reader errors {h.get('errors')}")
            problems = list(churn.errors)
            if churn.appeared == 0 or churn.left == 0:
                problems.append("no tag of the changing field appeared and left")
            if tags_poll and churn.listings == 0:
                problems.append("no GET /api/tags was answered")
        if ended:
            problems.append(f"zelquar-agent ended (exit code {run.agent.returncode}): {run.log_text()}")
        problems += [f"{name} grew by more than {grow_kib} KiB" for name in grown]
        for p in problems:
            print(f"memory.py: {p}", file=sys.stderr)
        return 1 if problems else 0
    finally:
        if churn:
            churn.finish()
        run.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build", help="the build directory (default: build)")
    parser.add_argument("--quick", action="store_true",
                        help="the reader service with 1,000 tags and 10 history points (the test suite's run)")
    parser.add_argument("--soak", type=float, metavar="SECONDS", help="sample a zelquar-soak run of SECONDS")
    parser.add_argument("--agent-soak", type=float, metavar="SECONDS",
                        help="sample zelquar-agent on 10,000 tags and a changing field for SECONDS")
    parser.add_argument("--tags-poll", type=float, default=1, metavar="SECONDS",
                        help="--agent-soak: a page's GET /api/tags this often, as the live view's (default: 1; 0: none)")
    parser.add_argument("--every", type=float, default=10, help="seconds between soak samples (default: 10)")
    parser.add_argument("--series", metavar="FILE", help="write every soak sample to FILE")
    parser.add_argument("--grow-kib", type=int, default=512,
                        help="growth of a process over the soak counted as a leak (default: 512)")
    args = parser.parse_args()
    if args.soak:
        return soak(args.build, args.soak, args.every, args.grow_kib, args.series)
    try:
        if args.agent_soak:
            return agent_soak(args.build, args.agent_soak, args.every, args.grow_kib, args.series, args.tags_poll)
        figures(args.build)
        agent_figures(args.build, args.quick)
    except (RuntimeError, OSError) as e:
        print(f"memory.py: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
