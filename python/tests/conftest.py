"""Fixtures: a driver installation of its own per test (a copy of the staged
install's library directory with a test INI, a named-object namespace and a
simulator directory of its own), a simulated reader with known tags, and an
open Reader on it."""

from __future__ import annotations

import itertools
import os
import shutil
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, Iterator, List

import pytest

import zelquar

STAGE = os.environ.get("ZQ_PYTHON_STAGE")

# Three tags of six EPC words (PC 3000): A with no passwords, B with an
# access and a kill password, C with a kill password only.
TAG_A = "300833B2DDD9014000000001"
TAG_B = "300833B2DDD9014000000002"
TAG_C = "300833B2DDD9014000000003"
PASSWORD_B = "11223344"
KILL_B = "87654321"
KILL_C = "0A0B0C0D"
SCENARIO = {
    "tags": [
        {"epc": TAG_A, "tid": "E2801160200074CF", "user": "0000000000000000", "rssi": 1},
        {"epc": TAG_B, "tid": "E2801160200074D0", "user": "1111222233334444", "rssi": 65535,
         "access_password": PASSWORD_B, "kill_password": KILL_B},
        {"epc": TAG_C, "tid": "E2801160200074D1", "user": "0000000000000000", "rssi": 0,
         "kill_password": KILL_C},
    ]
}

# Short exchange timeouts, so a silent reader fails fast; no bridge restarts
# while a device is missing; no firmware file in the test installation.
TEST_SETTINGS = {
    "AdminCheckCut": "1",
    "BlockTimeout": "200",
    "RetryTimeout": "400",
    "CharacterTimeout": "100",
    "HidDeviceOpenRetryCount": "0",
    "DspDownloadCutMode": "1",
    "LogFileFlg": "0",
}

_counter = itertools.count()


@dataclass
class Installation:
    prefix: Path
    library: str
    namespace: str
    sim_dir: str

    def env(self) -> Dict[str, str]:
        """The environment of a child process that uses this installation."""
        env = dict(os.environ)
        env.update(ZELQUAR_NAMESPACE=self.namespace, ZELQUAR_SIM_DIR=self.sim_dir, ZELQUAR_LIBRARY=self.library)
        return env

    def python(self, code: str, **kwargs) -> subprocess.Popen:
        """A child python3 running ``code`` on this installation, its stdin and stdout piped."""
        return subprocess.Popen([sys.executable, "-c", code], env=self.env(), stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kwargs)


def ini_text(template: str, settings: Dict[str, str]) -> str:
    lines: List[str] = []
    left = dict(settings)
    for line in template.splitlines():
        key = line.split("=", 1)[0].strip()
        if "=" in line and not line.lstrip().startswith(";") and key in left:
            line = f"{key}={left.pop(key)}"
        lines.append(line)
    lines += [f"{k}={v}" for k, v in left.items()]
    return "\n".join(lines) + "\n"


@pytest.fixture(scope="session")
def stage() -> Path:
    if not STAGE:
        pytest.skip("ZQ_PYTHON_STAGE names no installed tree (run through ctest or tests/run.py)")
    return Path(STAGE)


@pytest.fixture
def install(stage: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Iterator[Installation]:
    prefix = tmp_path / "prefix"
    libdir = prefix / "lib" / "zelquar"
    libdir.mkdir(parents=True)
    staged = stage / "lib" / "zelquar"
    for name in ("libZELQUAR_Drv.so", "libZqRfrwCommVO.so", "ZELQUAR_Outlog", "libzelquar.so"):
        shutil.copy2(staged / name, libdir / name)
    (libdir / "ZELQUAR_Drv.ini").write_text(ini_text((staged / "ZELQUAR_Drv.ini").read_text(), TEST_SETTINGS))
    (prefix / "bin").mkdir()
    (prefix / "bin" / "zelquar-sim").symlink_to(stage / "bin" / "zelquar-sim")
    sim_dir = tmp_path / "sim"
    sim_dir.mkdir()
    namespace = f"zqpy-{os.getpid()}-{next(_counter)}"
    found = Installation(prefix, str(libdir / "libZELQUAR_Drv.so"), namespace, str(sim_dir))
    # The driver reads its namespace when it is loaded: each test loads its own copy.
    monkeypatch.setenv("ZELQUAR_NAMESPACE", namespace)
    monkeypatch.setenv("ZELQUAR_SIM_DIR", found.sim_dir)
    monkeypatch.setenv("ZELQUAR_LIBRARY", found.library)
    yield found
    for entry in Path("/dev/shm").glob(f"ZELQUAR.{namespace}.*"):
        shutil.rmtree(entry, ignore_errors=True) if entry.is_dir() else entry.unlink(missing_ok=True)


@pytest.fixture
def sim(install: Installation) -> Iterator[zelquar.Simulator]:
    with zelquar.Simulator(SCENARIO) as simulator:
        yield simulator


@pytest.fixture
def reader(sim: zelquar.Simulator) -> Iterator[zelquar.Reader]:
    with zelquar.Reader() as opened:
        yield opened


def sim_tag(sim: zelquar.Simulator, epc: str) -> dict:
    """The simulated tag with this EPC, as the state report shows it."""
    return next(t for t in sim.tags() if t["epc"] == epc)
