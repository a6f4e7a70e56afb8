"""The install tree and the Debian package, as applications and the system see them.

Sections: settings and helpers; the installed tree (fixture: an install moved
to another directory, so that nothing in it may name the place it was
installed to; a simulated reader beside it); the consumers built against it
with pkg-config and with find_package; the man pages; the Debian package.

Run by ctest (tests/install/CMakeLists.txt), which passes the build's
settings in the environment.
"""

from __future__ import annotations

import glob
import gzip
import os
import re
import shlex
import shutil
import subprocess
import time
from contextlib import contextmanager
from pathlib import Path
from typing import Dict, Iterator, List

import pytest

# ---- settings and helpers ---------------------------------------------------

BUILD = Path(os.environ["ZQ_BUILD_DIR"])
CONSUMER = Path(__file__).resolve().parent / "consumer"
INI_EXAMPLE = Path(__file__).resolve().parents[2] / "docs/ZELQUAR_Drv.ini.example"
DOCS = Path(__file__).resolve().parents[2] / "docs"
CMAKE = os.environ["ZQ_CMAKE"]
CPACK = os.environ["ZQ_CPACK"]
CC = os.environ["ZQ_CC"]
CXX = os.environ["ZQ_CXX"]
GENERATOR = os.environ["ZQ_GENERATOR"]
MAKE_PROGRAM = os.environ.get("ZQ_MAKE_PROGRAM", "")
VERSION = os.environ["ZQ_VERSION"]
WITH_TOOL = os.environ.get("ZQ_WITH_TOOL") == "1"
WITH_MAN = os.environ.get("ZQ_WITH_MAN") == "1"
# A sanitized driver needs its runtime first in a program built without it:
# the settings for running a consumer (not for building it), and the same as
# a command prefix for a shell line.
RUN_ENV = {k[len("ZQ_RUN_"):]: v for k, v in os.environ.items() if k.startswith("ZQ_RUN_")}
RUN_PREFIX = "".join(f"{k}={shlex.quote(v)} " for k, v in RUN_ENV.items())

LIBDIR = "lib/zelquar"
RUNTIME_FILES = ["libZELQUAR_Drv.so", "libZqRfrwCommVO.so", "ZELQUAR_Outlog", "ZELQUAR_Drv.ini", "ZQRWDSP01.dwl"]
PROGRAMS = ["zelquar-sim", "zelquar-logview", "zelquar-drvcheck"] + (["zelquar"] if WITH_TOOL else [])
MAN_PROGRAMS = ["zelquar-sim", "zelquar-logview"] + (["zelquar"] if WITH_TOOL else [])
# Every file an installation is made of, relative to the prefix.
EXPECTED = (
    [f"{LIBDIR}/{f}" for f in RUNTIME_FILES]
    + [f"bin/{p}" for p in PROGRAMS]
    + [
        "include/ZELQUAR_Drv.h",
        "include/zelquar.h",
        f"{LIBDIR}/libzelquar.so",
        "lib/pkgconfig/zelquar.pc",
        "lib/pkgconfig/zelquar-client.pc",
        "lib/cmake/zelquar/zelquarConfig.cmake",
        "lib/cmake/zelquar/zelquarConfigVersion.cmake",
        "lib/udev/rules.d/70-zelquar.rules",
        "bin/zelquar-agent",
        "share/zelquar/web/index.html",
        "share/zelquar/web/app.js",
        "share/zelquar/agent.conf.example",
        "lib/systemd/system/zelquar-agent.service",
        "lib/python3/dist-packages/zelquar/__init__.py",
        "lib/python3/dist-packages/zelquar/_config.py",
    ]
    + ([f"share/man/man1/{p}.1.gz" for p in MAN_PROGRAMS] if WITH_MAN else [])
)
# The reader the default INI file asks for, as the simulator publishes it.
VENDOR, PRODUCT = "fff1", "7c02"
# Every driver these tests load shares its named objects with no other
# installation's.
NAMESPACE = f"zqinst-{os.getpid()}"


@pytest.fixture(scope="module", autouse=True)
def named_objects():
    """The shared objects the drivers leave in the namespace, removed at the end."""
    yield
    for leftover in glob.glob(f"/dev/shm/ZELQUAR.{NAMESPACE}*"):
        shutil.rmtree(leftover, ignore_errors=True) if os.path.isdir(leftover) else os.unlink(leftover)


def run(args: List[str], env: Dict[str, str] | None = None, cwd: Path | None = None,
        shell: bool = False) -> subprocess.CompletedProcess:
    """Runs a command to its end; its output is shown when an assertion fails."""
    done = subprocess.run(args, env=env, cwd=cwd, shell=shell, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, timeout=240)
    print(f"$ {args}\n{done.stdout}")
    return done


def clean_env(**extra: str) -> Dict[str, str]:
    """The caller's environment without anything that would find libraries
    or packages for a program: what works must work through the tree."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_LIBRARY_PATH", "PKG_CONFIG_PATH", "CMAKE_PREFIX_PATH", "LD_PRELOAD")
           and not k.startswith("ZQ_")}
    env["ZELQUAR_NAMESPACE"] = NAMESPACE
    env.update(extra)
    return env


def install(prefix: Path) -> None:
    done = run([CMAKE, "--install", str(BUILD), "--prefix", str(prefix)])
    assert done.returncode == 0


# ---- the installed tree -----------------------------------------------------

class Tree:
    def __init__(self, root: Path, prefix: Path):
        self.root = root
        self.prefix = prefix
        self.sim_dir = root / "sim"

    def env(self, **extra: str) -> Dict[str, str]:
        return clean_env(ZELQUAR_SIM_DIR=str(self.sim_dir), **extra)


@pytest.fixture(scope="module")
def tree(tmp_path_factory) -> Tree:
    root = tmp_path_factory.mktemp("installed")
    staged = root / "staged"
    install(staged)
    moved = root / "moved"
    staged.rename(moved)
    return Tree(root, moved)


def allow_any_user(ini: Path) -> None:
    """The tests may run as a user outside the administrator groups."""
    ini.write_text(re.sub(r"(?m)^AdminCheckCut=.*$", "AdminCheckCut=1", ini.read_text()))


@contextmanager
def simulator(program: Path, sim_dir: Path, env: Dict[str, str]) -> Iterator[subprocess.Popen]:
    """A zelquar-sim publishing its reader in `sim_dir`; stopped (by its pid)
    at the end."""
    sim = subprocess.Popen([str(program), "--dir", str(sim_dir)], env=env, stdout=subprocess.DEVNULL)
    try:
        published = sim_dir / "reader0.json"
        deadline = time.monotonic() + 20
        while not published.exists() and sim.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        assert published.exists(), "the simulator did not publish its reader"
        yield sim
    finally:
        sim.terminate()
        try:
            sim.wait(10)
        except subprocess.TimeoutExpired:
            sim.kill()
            sim.wait()


@pytest.fixture(scope="module")
def reader(tree: Tree):
    """The installed simulator, with its reader in the tree's simulator directory."""
    allow_any_user(tree.prefix / LIBDIR / "ZELQUAR_Drv.ini")
    with simulator(tree.prefix / "bin/zelquar-sim", tree.sim_dir, tree.env()) as sim:
        yield sim


def test_layout_holds_every_file_and_only_public_headers(tree: Tree):
    missing = [f for f in EXPECTED if not (tree.prefix / f).is_file()]
    assert missing == []
    for program in [f"bin/{p}" for p in PROGRAMS] + [f"{LIBDIR}/ZELQUAR_Outlog"]:
        assert os.access(tree.prefix / program, os.X_OK), program
    # Outside a package the settings are a file of their own beside the driver.
    assert not (tree.prefix / LIBDIR / "ZELQUAR_Drv.ini").is_symlink()
    assert not (tree.prefix / "etc").exists()
    # The driver/comm boundary is C++ over the platform layer: not installed.
    assert sorted(p.name for p in (tree.prefix / "include").iterdir()) == ["ZELQUAR_Drv.h", "zelquar.h"]
    # Each public header compiles on its own, as C and as C++, with nothing
    # but the tree's include directory.
    for header in (tree.prefix / "include").iterdir():
        source = tree.root / f"only_{header.stem}.c"
        source.write_text(f"#include <{header.name}>\nint main(void) {{ return 0; }}\n")
        for compiler, extra in ((CC, ["-std=c99", "-pedantic"]), (CXX, ["-x", "c++", "-std=c++17"])):
            done = run([compiler, *extra, "-Wall", "-Wextra", "-Werror", "-fsyntax-only",
                        "-I", str(tree.prefix / "include"), str(source)])
            assert done.returncode == 0, f"{header.name} with {compiler}"


def test_udev_rule_grants_the_group_the_reader_the_ini_file_names(tree: Tree):
    ini = (tree.prefix / LIBDIR / "ZELQUAR_Drv.ini").read_text()
    fragment = re.search(r"(?m)^PID_VID=vid_([0-9A-Fa-f]{4})&pid_([0-9A-Fa-f]{4})", ini)
    assert fragment, "the INI file names no reader"
    assert (fragment.group(1).lower(), fragment.group(2).lower()) == (VENDOR, PRODUCT)
    rules = [line for line in (tree.prefix / "lib/udev/rules.d/70-zelquar.rules").read_text().splitlines()
             if line.strip() and not line.lstrip().startswith("#")]
    by_subsystem = {}
    for line in rules:
        keys = dict(re.findall(r'([A-Z]+(?:\{[a-zA-Z_]+\})?)[=!]=?"([^"]*)"', line))
        by_subsystem[keys.get("SUBSYSTEM")] = keys
    # The hidraw node (reader traffic, feature reports) and the USB device
    # node (the port reset), matched on the USB device's attributes.
    assert set(by_subsystem) == {"hidraw", "usb"}
    for subsystem, attr in (("hidraw", "ATTRS"), ("usb", "ATTR")):
        keys = by_subsystem[subsystem]
        assert keys.get(f"{attr}{{idVendor}}") == VENDOR, subsystem
        assert keys.get(f"{attr}{{idProduct}}") == PRODUCT, subsystem
        assert keys.get("GROUP") == "zelquar", subsystem
        assert keys.get("MODE") == "0660", subsystem
    assert by_subsystem["usb"].get("ENV{DEVTYPE}") == "usb_device"


# ---- consumers --------------------------------------------------------------

def test_c_program_built_in_one_line_with_pkg_config_runs_against_the_reader(tree: Tree, reader):
    work = tree.root / "pkgconfig-app"
    work.mkdir()
    shutil.copy(CONSUMER / "app.c", work / "app.c")
    env = tree.env(PKG_CONFIG_PATH=str(tree.prefix / "lib/pkgconfig"), CC=CC)
    assert run(["pkg-config", "--modversion", "zelquar"], env=env).stdout.strip() == VERSION
    built = run(f'"$CC" app.c $(pkg-config --cflags --libs zelquar) -o app && {RUN_PREFIX}./app 0x0100', env=env,
                cwd=work, shell=True)
    assert built.returncode == 0
    lines = built.stdout.strip().splitlines()[-4:]
    # The bundled firmware file is the version the simulated reader runs.
    assert lines == [f"driver {VERSION}", "open 0", "transmit 0: 01 23 90 00", "close 0"]


def examples(page: Path) -> List[str]:
    """The C programs of a documentation page: its ```c blocks."""
    return re.findall(r"(?ms)^```c\n(.*?)^```", page.read_text())


def test_command_reference_examples_build_with_pkg_config_and_run_against_the_reader(tree: Tree, reader):
    work = tree.root / "examples"
    work.mkdir()
    env = tree.env(PKG_CONFIG_PATH=str(tree.prefix / "lib/pkgconfig"), CC=CC)
    assert run(["pkg-config", "--modversion", "zelquar-client"], env=env).stdout.strip() == VERSION
    programs = examples(DOCS / "commands.md")
    assert len(programs) == 4
    outputs = []
    for number, source in enumerate(programs):
        (work / f"example{number}.c").write_text(source)
        # Built and run apart: what the compiler and the linker say (a
        # sanitizer build's runtime makes the linker talk) is not the program's output.
        built = run(f'"$CC" -std=c99 -Wall -Werror example{number}.c $(pkg-config --cflags --libs zelquar-client) '
                    f'-o example{number}', env=env, cwd=work, shell=True)
        assert built.returncode == 0, f"example {number}: {built.stdout}"
        ran = run(f'{RUN_PREFIX}./example{number} SIM0001', env=env, cwd=work, shell=True)
        assert ran.returncode == 0, f"example {number}: {ran.stdout}"
        outputs.append(ran.stdout.splitlines())
    field, access, identity, settings = outputs
    # The whole field: a URI a tag, then the count.
    assert field[-1] == f"{len(field) - 1} tags" and len(field) > 1
    assert all(line.startswith("urn:epc:") for line in field[:-1])
    assert access[0].startswith("tid E2") and access[1] == "user written and verified"
    assert "memory overrun" in access[2]
    assert identity == ["GTIN 80614141123458 serial 6789"]
    assert "power level 20" in settings and "gpio 2 = 1" in settings and "raw status 9000" in settings


def test_cmake_project_with_find_package_builds_installs_and_runs(tree: Tree, reader):
    build = tree.root / "cmake-app-build"
    installed = tree.root / "cmake-app"
    configure = [CMAKE, "-S", str(CONSUMER), "-B", str(build), "-G", GENERATOR,
                 f"-DCMAKE_PREFIX_PATH={tree.prefix}", f"-DCMAKE_CXX_COMPILER={CXX}",
                 f"-DCMAKE_INSTALL_PREFIX={installed}"]
    if MAKE_PROGRAM:
        configure.append(f"-DCMAKE_MAKE_PROGRAM={MAKE_PROGRAM}")
    env = tree.env()
    done = run(configure, env=env)
    assert done.returncode == 0
    assert f"zelquar {VERSION} in {tree.prefix}/{LIBDIR}" in done.stdout
    assert run([CMAKE, "--build", str(build)], env=env).returncode == 0
    assert run([CMAKE, "--install", str(build)], env=env).returncode == 0
    # Built and installed: the installed program has lost CMake's build run
    # path and finds the driver through the package's own.
    for program in (build / "consumer", installed / "bin/consumer"):
        done = run([str(program), "0x0100"], env=tree.env(**RUN_ENV))
        assert done.returncode == 0, program
        assert done.stdout.splitlines()[-2:] == [f"driver {VERSION} package {VERSION}", "open 0 close 0"]


def test_installed_tool_finds_the_driver_beside_it(tree: Tree, reader):
    done = run([str(tree.prefix / "bin/zelquar-drvcheck"), "0x0100"], env=tree.env())
    assert done.returncode == 0
    assert f"driver version {VERSION}" in done.stdout
    assert "RFRW_Open(0x0100) = 0" in done.stdout


# ---- man pages --------------------------------------------------------------

@pytest.mark.skipif(not WITH_MAN, reason="built without help2man")
def test_man_pages_rendered_from_each_programs_help(tree: Tree):
    # A line of each program's --help that help2man must have carried over.
    options = {"zelquar-sim": r"\-\-scenario", "zelquar-logview": r"\-\-follow", "zelquar": r"\-\-help"}
    for program in MAN_PROGRAMS:
        page = gzip.decompress((tree.prefix / f"share/man/man1/{program}.1.gz").read_bytes()).decode()
        title = re.search(r'(?m)^\.TH (\S+) "?1"? .*$', page)
        assert title and title.group(1).strip('"').lower() == program, program
        assert f"{program} {VERSION}" in title.group(0), title.group(0)
        assert re.search(r"(?m)^\.SH NAME\n" + re.escape(program) + r" \\- \S", page), program
        assert options[program] in page, program
        # The version the page names is the one the program reports.
        assert VERSION in run([str(tree.prefix / "bin" / program), "--version"], env=tree.env()).stdout.split()


# ---- the Debian package -----------------------------------------------------

@pytest.fixture(scope="module")
def deb(tmp_path_factory) -> Path:
    out = tmp_path_factory.mktemp("deb")
    done = run([CPACK, "--config", str(BUILD / "CPackConfig.cmake"), "-G", "DEB", "-B", str(out)], cwd=out)
    assert done.returncode == 0
    packages = list(out.glob("*.deb"))
    assert len(packages) == 1, packages
    return packages[0]


def test_deb_installs_the_whole_tree_under_usr_and_its_settings_in_etc(deb: Path, tmp_path):
    # Lines of `dpkg-deb -c`: mode, owner, size, date, time, ./path [-> target].
    entries = [line.split(maxsplit=5) for line in run(["dpkg-deb", "-c", str(deb)]).stdout.splitlines() if line]
    paths = {e[5].split(" -> ")[0].lstrip(".").rstrip("/") for e in entries}
    files = {e[5].split(" -> ")[0].lstrip(".") for e in entries if not e[0].startswith("d")}
    missing = [f for f in EXPECTED if f"/usr/{f}" not in files]
    assert missing == []
    etc = {"/etc", "/etc/zelquar", "/etc/zelquar/ZELQUAR_Drv.ini"}
    assert etc <= paths
    assert all(p in ("", "/usr") or p.startswith("/usr/") or p in etc for p in paths), sorted(paths)
    # The settings are the package's one conffile, kept across upgrades; the
    # driver's directory links to them.
    control = tmp_path / "control"
    assert run(["dpkg-deb", "-e", str(deb), str(control)]).returncode == 0
    assert (control / "conffiles").read_text().split() == ["/etc/zelquar/ZELQUAR_Drv.ini"]

    fields = {f: run(["dpkg-deb", "-f", str(deb), f]).stdout.strip()
              for f in ("Package", "Version", "Maintainer", "Description", "Depends", "Architecture")}
    assert fields["Package"] == "zelquar"
    assert fields["Version"] == VERSION
    assert "@" in fields["Maintainer"]
    assert fields["Description"].splitlines()[0].strip() != ""
    depends = {d.split()[0] for d in fields["Depends"].split(",")}
    assert {"libc6", "libstdc++6", "libudev1"} <= depends, fields["Depends"]

    # The package's own tree: the Python package knows it lives in /usr, and
    # the pkg-config file works wherever the tree is unpacked.
    root = tmp_path / "root"
    assert run(["dpkg-deb", "-x", str(deb), str(root)]).returncode == 0
    config = (root / "usr/lib/python3/dist-packages/zelquar/_config.py").read_text()
    assert re.search(r'(?m)^PREFIX = "/usr"$', config), config
    assert str(BUILD) not in (root / "usr/lib/pkgconfig/zelquar.pc").read_text()
    beside = root / "usr/lib/zelquar/ZELQUAR_Drv.ini"
    assert beside.is_symlink() and beside.resolve() == (root / "etc/zelquar/ZELQUAR_Drv.ini").resolve()
    assert beside.read_text() == INI_EXAMPLE.read_text()
    # An application built against the unpacked tree opens the package's
    # simulated reader: the driver found its settings through the link (a
    # missing INI file fails the open).
    allow_any_user(root / "etc/zelquar/ZELQUAR_Drv.ini")
    shutil.copy(CONSUMER / "app.c", tmp_path / "app.c")
    sim_dir = tmp_path / "sim"
    env = clean_env(PKG_CONFIG_PATH=str(root / "usr/lib/pkgconfig"), CC=CC, ZELQUAR_SIM_DIR=str(sim_dir))
    with simulator(root / "usr/bin/zelquar-sim", sim_dir, env):
        built = run(f'"$CC" app.c $(pkg-config --cflags --libs zelquar) -o app && {RUN_PREFIX}./app 0x0100',
                    env=env, cwd=tmp_path, shell=True)
    assert built.returncode == 0
    assert built.stdout.strip().splitlines()[-4:] == [f"driver {VERSION}", "open 0", "transmit 0: 01 23 90 00",
                                                      "close 0"]


def test_deb_postinst_creates_the_group_once(deb: Path, tmp_path):
    control = tmp_path / "control"
    assert run(["dpkg-deb", "-e", str(deb), str(control)]).returncode == 0
    postinst = control / "postinst"
    assert os.access(postinst, os.X_OK)
    # Stand-ins for the system's commands record how they were called; the
    # group database answers "absent" first, then "present".
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    calls = tmp_path / "calls"
    state = tmp_path / "group-present"
    user = tmp_path / "user-present"
    stubs = {
        "getent": f'echo "getent $*" >> {calls}; if [ "$1" = passwd ]; then [ -e {user} ]; else [ -e {state} ]; fi',
        "groupadd": f'echo "groupadd $*" >> {calls}; touch {state}',
        "useradd": f'echo "useradd $*" >> {calls}; touch {user}',
        "udevadm": f'echo "udevadm $*" >> {calls}',
    }
    for name, body in stubs.items():
        (bin_dir / name).write_text(f"#!/bin/sh\n{body}\n")
        (bin_dir / name).chmod(0o755)
    env = dict(os.environ, PATH=f"{bin_dir}:/usr/bin:/bin")
    for _ in range(2):
        assert run(["/bin/sh", str(postinst), "configure", ""], env=env).returncode == 0
    lines = calls.read_text().splitlines()
    assert [ln for ln in lines if ln.startswith("groupadd")] == ["groupadd --system zelquar"]
    assert [ln for ln in lines if ln.startswith("getent group")] == ["getent group zelquar"] * 2
    # The service's user, made once, in the reader group.
    assert [ln for ln in lines if ln.startswith("useradd")] == [
        "useradd --system --gid zelquar --home-dir /var/lib/zelquar-agent --no-create-home --shell /usr/sbin/nologin zelquar-agent"]
    # udev is reloaded only where it runs.
    reloads = [ln for ln in lines if ln.startswith("udevadm control")]
    assert reloads == (["udevadm control --reload-rules"] * 2 if os.path.isdir("/run/udev") else [])
    # Any other maintainer action does nothing.
    calls.unlink()
    assert run(["/bin/sh", str(postinst), "abort-upgrade", "1.0"], env=env).returncode == 0
    assert not calls.exists()
