"""A private simulated reader (zelquar-sim) for tests, examples and trying things out.

The program is looked for beside the driver library's install prefix
(PREFIX/bin/zelquar-sim for PREFIX/lib/zelquar/libZELQUAR_Drv.so), then in
the package's configured prefix, then on PATH; ``program=`` names it outright.
"""

from __future__ import annotations

import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import weakref
from typing import Any, Dict, List, Optional, Union

from . import _library
from .commands import HexLike, Tag, hex_bytes

PROGRAM_NAME = "zelquar-sim"


class SimulatorError(RuntimeError):
    """The simulator could not be started, or refused a control command."""


def find_program(program: Optional[str] = None, library: Optional[str] = None) -> str:
    """The zelquar-sim to run; SimulatorError lists the places tried."""
    if program:
        if os.access(program, os.X_OK):
            return program
        raise SimulatorError(f"{program}: not an executable file")
    tried: List[str] = []
    prefixes: List[str] = []
    found_library = _library.existing_path(library)
    if found_library:
        # PREFIX/lib/zelquar/libZELQUAR_Drv.so
        prefixes.append(os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(found_library)))))
    prefixes += [p for p in (_library.configured_prefix(), os.fspath(_library.package_prefix())) if p]
    for prefix in prefixes:
        path = os.path.join(prefix, "bin", PROGRAM_NAME)
        if path in tried:
            continue
        tried.append(path)
        if os.access(path, os.X_OK):
            return path
    found = shutil.which(PROGRAM_NAME)
    if found:
        return found
    raise SimulatorError(f"{PROGRAM_NAME} not found; tried {', '.join(tried)} and PATH")


def _stop_process(process: subprocess.Popen) -> None:
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


class Simulator:
    """Starts a zelquar-sim and stops it on :meth:`stop` (or leaving a ``with`` block).

    ``scenario``: a scenario file's path, or the scenario itself as a dict
    (``{"tags": [{"epc": "...", ...}]}``); None gives the simulator's three
    default tags. ``directory``: where the device is published; without it,
    the directory in ``ZELQUAR_SIM_DIR``, else a new private one, which is
    then put into ``ZELQUAR_SIM_DIR`` (where the driver looks) while the
    simulator runs. ``name``, ``unit``, ``serial`` and ``wire_timing`` are
    the program's options of the same names.
    """

    def __init__(
        self,
        scenario: Union[str, "os.PathLike[str]", Dict[str, Any], None] = None,
        *,
        directory: Optional[str] = None,
        name: str = "reader0",
        unit: Optional[int] = None,
        serial: Optional[str] = None,
        wire_timing: bool = False,
        program: Optional[str] = None,
        library: Optional[str] = None,
        timeout: float = 10.0,
    ) -> None:
        self.program = find_program(program, library)
        self.name = name
        self._work = tempfile.mkdtemp(prefix="zelquar-sim-")
        self._env_set = False
        if directory is None:
            directory = os.environ.get("ZELQUAR_SIM_DIR") or None
        if directory is None:
            directory = os.path.join(self._work, "dev")
            os.environ["ZELQUAR_SIM_DIR"] = directory
            self._env_set = True
        self.directory = os.fspath(directory)
        os.makedirs(self.directory, exist_ok=True)
        argv = [self.program, "--dir", self.directory, "--name", name]
        if isinstance(scenario, dict):
            path = os.path.join(self._work, "scenario.json")
            with open(path, "w", encoding="utf-8") as out:
                json.dump(scenario, out)
            argv += ["--scenario", path]
        elif scenario is not None:
            argv += ["--scenario", os.fspath(scenario)]
        if unit is not None:
            argv += ["--unit", str(unit)]
        if serial is not None:
            argv += ["--serial", serial]
        if wire_timing:
            argv.append("--wire-timing")
        self._stderr = open(os.path.join(self._work, "stderr"), "w+b")
        self._process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self._stderr)
        self._finalizer = weakref.finalize(self, _stop_process, self._process)
        self._wait_published(timeout)

    def _wait_published(self, timeout: float) -> None:
        # The program writes NAME.json last, once it serves, with its own
        # process id: a description another simulator published under the
        # same name is not this one's (that program ends, "already served").
        deadline = time.monotonic() + timeout
        while not self._published_by_own_process():
            if self._process.poll() is not None or time.monotonic() > deadline:
                self._stderr.seek(0)
                detail = self._stderr.read().decode(errors="replace").strip()
                self.stop()
                raise SimulatorError(f"{self.program} did not start: {detail or 'no device published'}")
            time.sleep(0.01)

    def _published_by_own_process(self) -> bool:
        try:
            with open(os.path.join(self.directory, self.name + ".json"), encoding="utf-8") as published:
                description = json.load(published)
        except (OSError, ValueError):
            return False
        return isinstance(description, dict) and description.get("server_pid") == self._process.pid

    # ---- life ----------------------------------------------------------------------

    @property
    def running(self) -> bool:
        return self._process.poll() is None

    @property
    def pid(self) -> int:
        return self._process.pid

    def stop(self) -> None:
        """Ends the simulator (its files go with it); stopping twice does nothing."""
        self._finalizer()
        if not self._stderr.closed:
            self._stderr.close()
        if self._env_set and os.environ.get("ZELQUAR_SIM_DIR") == self.directory:
            del os.environ["ZELQUAR_SIM_DIR"]
        self._env_set = False
        shutil.rmtree(self._work, ignore_errors=True)

    def __enter__(self) -> "Simulator":
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    # ---- control commands -------------------------------------------------------------

    def control(self, line: str, timeout: float = 10.0) -> str:
        """One control command; the text after "OK" (SimulatorError for "ERR ...")."""
        path = os.path.join(self.directory, self.name + ".ctl")
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as conn:
            conn.settimeout(timeout)
            try:
                conn.connect(path)
                conn.sendall(line.encode() + b"\n")
                reply = b""
                while not reply.endswith(b"\n"):
                    chunk = conn.recv(65536)
                    if not chunk:
                        break
                    reply += chunk
            except OSError as error:
                raise SimulatorError(f"control command {line!r}: {error}") from None
        text = reply.decode(errors="replace").strip()
        if not text.startswith("OK"):
            raise SimulatorError(f"control command {line!r}: {text or 'no answer'}")
        return text[2:].strip()

    def state(self) -> Dict[str, Any]:
        """The simulator's state report (power, bridge, counters, commands, tags)."""
        return json.loads(self.control("state"))

    def tags(self) -> List[Dict[str, Any]]:
        """The simulated tags as the state report shows them."""
        return list(self.state()["tags"])

    def fault(self, kind: str, *args: Union[str, int]) -> None:
        """Arms a fault, e.g. ``fault("drop-reply", 1)`` or ``fault("status", "6405", 1)``."""
        self.control(" ".join(["fault", kind, *(str(a) for a in args)]))

    def add_tag(self, epc: Union[HexLike, Tag], **fields: Any) -> None:
        """Puts a tag into the field: its EPC and scenario fields such as ``tid``,
        ``user``, ``access_password``, ``kill_password``, ``rssi``, ``locked``."""
        epc_hex = epc.epc_hex if isinstance(epc, Tag) else hex_bytes(epc, "epc").hex().upper()
        self.control("tag add " + json.dumps({"epc": epc_hex, **fields}))

    def remove_tag(self, epc: Union[HexLike, Tag]) -> None:
        """Takes the tag with this EPC out of the field."""
        epc_hex = epc.epc_hex if isinstance(epc, Tag) else hex_bytes(epc, "epc").hex().upper()
        self.control("tag remove " + epc_hex)

    def set_rssi(self, epc: Union[HexLike, Tag], raw: int) -> None:
        """Holds the tag still at this raw signal strength (0 to 65535)."""
        epc_hex = epc.epc_hex if isinstance(epc, Tag) else hex_bytes(epc, "epc").hex().upper()
        self.control(f"tag rssi {epc_hex} {int(raw)}")

    def move_tag(self, epc: Union[HexLike, Tag], path: List[Any], *, repeat: bool = False, noise: int = 0) -> None:
        """Moves the tag's signal strength along ``path`` ([[ms, raw], ...]) from now on,
        with ``noise`` (raw) added at every round; ``repeat`` starts the path over."""
        epc_hex = epc.epc_hex if isinstance(epc, Tag) else hex_bytes(epc, "epc").hex().upper()
        self.control(f"tag move {epc_hex} " + json.dumps({"path": path, "path_repeat": repeat, "noise": noise}))

    def read_range(self, floor: int, full: int) -> None:
        """Reads follow the strength: never at ``floor`` or below, always at ``full`` or
        above (0, 0: every tag is read)."""
        self.control(f"read-range {int(floor)} {int(full)}")

    def load_tags(self, tags: List[Dict[str, Any]]) -> None:
        """Replaces the population with these tags (scenario tag objects)."""
        path = os.path.join(self._work, "tags.json")
        with open(path, "w", encoding="utf-8") as out:
            json.dump({"tags": tags}, out)
        self.control("tags load " + path)

    def unplug(self) -> None:
        self.control("unplug")

    def replug(self) -> None:
        self.control("replug")

    def reset(self) -> None:
        self.control("reset")
