#!/usr/bin/env python3
"""Resident memory of the stack's processes, read from /proc/PID/status.

Sections: reading /proc; the figures of one application (the driver loaded
and a port open, the collector, the simulator with 1,000 and 10,000 tags);
the soak (every process of zelquar-soak sampled every --every seconds).

  bench/memory.py [--build build]
      VmRSS and VmHWM (the peak) in KiB of: zq_bench_memory_app before it
      loads anything, then with the installed driver loaded and COM 1 open
      after 100 inventories; the collector (ZELQUAR_Outlog) it started; its
      simulated reader with the default tags, 1,000 and 10,000 tags (each
      after 10 inventories over them).
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
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

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
        row("simulator, 2 tags", sim, "after 100 inventories")
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


# ---- the soak -------------------------------------------------------------


def growth(series, seconds):
    """The largest sample of the last third less the largest of the first
    third after the first minute."""
    settled = [(t, r) for t, r in series if t >= 60] or series
    span = max(seconds - 60, 1)
    early = [r for t, r in settled if t < 60 + span / 3] or [settled[0][1]]
    late = [r for t, r in settled if t >= seconds - span / 3] or [settled[-1][1]]
    return max(late) - max(early)


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
    print("| process | pid | first after 60 s KiB | last KiB | largest KiB | growth KiB | samples |")
    print("|---|---|---|---|---|---|---|")
    grown = False
    for (pid, name), series in sorted(samples.items(), key=lambda kv: (kv[0][1], kv[0][0])):
        settled = [s for s in series if s[0] >= 60] or series
        first, last = settled[0][1], settled[-1][1]
        largest = max(r for _, r in settled)
        grew = growth(series, seconds)
        if grew > grow_kib and pid != proc.pid:
            grown = True
        print(f"| {name} | {pid} | {first:,} | {last:,} | {largest:,} | {grew:+,} | {len(series)} |")
    if series_file:
        with open(series_file, "w") as f:
            for (pid, name), series in samples.items():
                for t, rss in series:
                    f.write(f"{t:.0f} {pid} {name} {rss}\n")
    if proc.returncode != 0:
        sys.stderr.write(error)
    return 1 if proc.returncode != 0 or grown else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build", help="the build directory (default: build)")
    parser.add_argument("--soak", type=float, metavar="SECONDS", help="sample a zelquar-soak run of SECONDS")
    parser.add_argument("--every", type=float, default=10, help="seconds between soak samples (default: 10)")
    parser.add_argument("--series", metavar="FILE", help="write every soak sample to FILE")
    parser.add_argument("--grow-kib", type=int, default=512,
                        help="growth of a process over the soak counted as a leak (default: 512)")
    args = parser.parse_args()
    if args.soak:
        return soak(args.build, args.soak, args.every, args.grow_kib, args.series)
    try:
        figures(args.build)
    except (RuntimeError, OSError) as e:
        print(f"memory.py: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
