"""Runs the package's tests against an installed tree: run.py PREFIX [pytest args].

Exits 77 (a skip for ctest) when this python3 has no pytest. pytest runs in
a child process; the named objects its tests' namespaces leave behind (the
driver copies stay loaded until that process ends) are removed after it."""

import glob
import os
import shutil
import subprocess
import sys

try:
    import pytest  # noqa: F401
except ImportError:
    print(f"skipped: {sys.executable} has no pytest (apt-get install python3-pytest)")
    sys.exit(77)

prefix = os.path.abspath(sys.argv[1])
packages = os.path.join(prefix, "lib", "python3", "dist-packages")
env = dict(os.environ, ZQ_PYTHON_STAGE=prefix, PYTHONPATH=packages + os.pathsep + os.environ.get("PYTHONPATH", ""))
here = os.path.dirname(os.path.abspath(__file__))
child = subprocess.Popen([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--rootdir", here, here,
                          *sys.argv[2:]], env=env)
try:
    code = child.wait()
finally:
    for leftover in glob.glob(f"/dev/shm/ZELQUAR.zqpy-{child.pid}-*"):
        shutil.rmtree(leftover, ignore_errors=True) if os.path.isdir(leftover) else os.unlink(leftover)
sys.exit(code)
