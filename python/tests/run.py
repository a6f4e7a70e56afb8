"""Runs the package's tests against an installed tree: run.py PREFIX [pytest args].

Exits 77 (a skip for ctest) when this python3 has no pytest."""

import os
import sys

try:
    import pytest
except ImportError:
    print(f"skipped: {sys.executable} has no pytest (apt-get install python3-pytest)")
    sys.exit(77)

prefix = os.path.abspath(sys.argv[1])
packages = os.path.join(prefix, "lib", "python3", "dist-packages")
os.environ["ZQ_PYTHON_STAGE"] = prefix
os.environ["PYTHONPATH"] = packages + os.pathsep + os.environ.get("PYTHONPATH", "")
sys.path.insert(0, packages)
here = os.path.dirname(os.path.abspath(__file__))
sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", "--rootdir", here, here, *sys.argv[2:]]))
