"""The package installed with pip into a fresh virtual environment, with
nothing from a package index, and used there against a simulated reader."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
from pathlib import Path

import pytest

from conftest import SCENARIO, TAG_A

SOURCE = Path(__file__).resolve().parents[1]
# The system's interpreter: Debian's python3-venv, python3-pip, python3-setuptools
# and python3-wheel build and install the package without a network.
SYSTEM_PYTHON = "/usr/bin/python3"


def test_pip_installs_into_a_fresh_venv_and_the_package_finds_the_library(install, sim, tmp_path: Path):
    if not os.access(SYSTEM_PYTHON, os.X_OK):
        pytest.skip(f"no {SYSTEM_PYTHON}")
    source = tmp_path / "source"
    shutil.copytree(SOURCE, source, ignore=shutil.ignore_patterns("__pycache__", "tests", "build", "*.egg-info"))
    venv = tmp_path / "venv"
    env = {k: v for k, v in install.env().items() if k not in ("PYTHONPATH", "PYTHONHOME")}
    made = subprocess.run([SYSTEM_PYTHON, "-m", "venv", "--system-site-packages", str(venv)], env=env,
                          capture_output=True, text=True)
    if made.returncode != 0 and "ensurepip" in made.stderr + made.stdout:
        pytest.skip("this python3 has no venv module (apt-get install python3-venv)")
    assert made.returncode == 0, made.stderr
    pip = subprocess.run([str(venv / "bin/pip"), "install", "--no-index", "--no-build-isolation", str(source)],
                         env=env, capture_output=True, text=True, timeout=240)
    assert pip.returncode == 0, pip.stdout + pip.stderr
    # The driver named by ZELQUAR_LIBRARY (the installation's), the client
    # library found beside it.
    code = (
        "import json, zelquar\n"
        "with zelquar.Reader() as r:\n"
        "    tags = r.inventory()\n"
        "print(json.dumps({'file': zelquar.__file__, 'tags': {t.epc_hex: t.identity.uri for t in tags}}))\n"
    )
    run = subprocess.run([str(venv / "bin/python"), "-c", code], env=env, capture_output=True, text=True,
                         timeout=120, cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    out = json.loads(run.stdout.splitlines()[-1])
    assert out["file"].startswith(str(venv))
    assert sorted(out["tags"]) == sorted(t["epc"] for t in SCENARIO["tags"])
    assert out["tags"][TAG_A].startswith("urn:epc:")
