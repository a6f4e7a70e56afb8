"""The Reader through the installed driver against a simulated reader: the
reader's own commands, the library search, and every error class from a
real driver result."""

import os
import subprocess
import sys

import pytest

import zelquar
from conftest import SCENARIO, TAG_A

# A child process that opens the port, says so, and holds it until its stdin closes.
HOLDER = """
import sys, zelquar
with zelquar.Reader(0x0100) as reader:
    print("open", flush=True)
    sys.stdin.read()
"""


def test_information_block_reader_type_and_versions(reader, sim):
    info = reader.info()
    assert len(info.block) == 90 and info.block[:4] == bytes.fromhex("010E0102")
    assert info.block[10:13] == bytes.fromhex("0042 01") and info.block[-1] == 0x52
    assert info.reader_type == 0x21
    assert info.firmware_version == sim.state()["firmware_version"].upper()
    assert info.driver_version == zelquar.driver_version() == "1.1.0.6"


def test_gpio_lines_and_serial_string_reach_the_bridge(reader, sim):
    before, latch = reader.gpio.read(), sim.state()["gpio_latch"]
    assert before >> 9 & 1  # line 9 powers the reader
    line = 3
    reader.gpio[line] = not reader.gpio[line]
    assert reader.gpio.read() == before ^ (1 << line)
    assert sim.state()["gpio_latch"] != latch
    reader.gpio[line] = bool(before >> line & 1)
    assert reader.gpio.read() == before and sim.state()["gpio_latch"] == latch

    assert reader.serial_string == "SIM0001"
    reader.serial_string = "Python-7"
    assert reader.serial_string == "Python-7"
    # The report as the bridge keeps it: descriptor length and type, then UTF-16LE text.
    assert sim.state()["serial_string"].upper()[4:].startswith("Python-7".encode("utf-16-le").hex().upper())
    with pytest.raises(zelquar.ParameterError):
        reader.serial_string = "x" * 31
    with pytest.raises(zelquar.ParameterError):
        reader.gpio[16] = True


def test_transmit_returns_any_response_whole(reader, sim):
    assert reader.transmit("00051200") == zelquar.Response(b"\x21", 0x9000)
    # Answered by the driver without a response.
    assert reader.transmit(bytes.fromhex("00170000")) == zelquar.Response(b"", None)
    # Opened with pass_through, that command too goes to the reader, which answers it.
    reader.close()
    with zelquar.Reader(pass_through=True) as through:
        sent = sim.state()["counters"]["commands_received"]
        assert through.transmit("00170000").status_word is not None
        assert sim.state()["counters"]["commands_received"] == sent + 1
    reader.open()
    # A refusal is an answer here, not an exception: the power level is tried three times.
    sim.fault("status", "6401", 3)
    assert reader.transmit("00181400") == zelquar.Response(b"", 0x6401)
    sim.fault("status", "6401", 3)
    with pytest.raises(zelquar.ReaderRefused) as refused:
        reader.set_power_level(20)
    assert refused.value.status_word == 0x6401 and refused.value.code == 0
    reader.set_power_level(20)
    assert sim.state()["settings"]["power_level"] == 10  # level byte 20 - 10


def test_each_error_class_comes_from_a_real_driver_result(install, sim):
    # Not open.
    closed = zelquar.Reader()
    with pytest.raises(zelquar.NotOpenError) as error:
        closed.info()
    assert error.value.code == -1001 and "not open" in str(error.value)
    # Bad parameters: a port outside COM 1..32, a command no row routes.
    with pytest.raises(zelquar.ParameterError) as error:
        zelquar.Reader(0x2100).open()
    assert error.value.code == -3 and isinstance(error.value, ValueError)
    with zelquar.Reader() as reader:
        with pytest.raises(zelquar.ParameterError):
            reader.transmit("40010000")
        assert reader.transmit("00051200").ok  # the port still works
    # Another process holds the port: the port itself is refused, and another
    # unit too, as the other process holds the reader's bridge.
    for port, cls, code in ((0x0100, zelquar.PortInUseError, -1002), (0x0101, zelquar.DeviceError, -2)):
        holder = install.python(HOLDER)
        try:
            assert holder.stdout.readline().strip() == "open", holder.stderr.read()
            with pytest.raises(cls) as error:
                zelquar.Reader(port).open()
            assert error.value.code == code
        finally:
            holder.communicate("", timeout=30)
        assert holder.returncode == 0


def test_no_reader_attached_is_a_device_error(install):
    with pytest.raises(zelquar.DeviceError) as error:
        zelquar.Reader().open()
    assert error.value.code == -2


def test_the_reader_is_closed_after_an_exception_in_the_with_block(reader, sim):
    reader.close()
    with pytest.raises(RuntimeError):
        with zelquar.Reader() as inner:
            assert inner.transmit("00051200").ok
            raise RuntimeError("application failure")
    assert not inner.is_open
    with pytest.raises(zelquar.NotOpenError):
        inner.info()
    # The port is free again: a port left open would refuse this with -1002.
    with zelquar.Reader() as again:
        assert again.info().reader_type == 0x21


def test_library_search_names_every_path_tried(install, stage, monkeypatch):
    with pytest.raises(zelquar.LibraryNotFoundError) as error:
        zelquar.Reader(library="/nonexistent/libZELQUAR_Drv.so")
    assert error.value.tried == ["/nonexistent/libZELQUAR_Drv.so"] and "/nonexistent" in str(error.value)
    monkeypatch.setenv("ZELQUAR_LIBRARY", "/elsewhere/lib.so")
    with pytest.raises(zelquar.DriverError) as error:
        zelquar.driver_version()
    assert error.value.tried == ["/elsewhere/lib.so"]
    # Without either, the install prefix written into the package: the staged tree.
    env = {k: v for k, v in install.env().items() if k != "ZELQUAR_LIBRARY"}
    out = subprocess.run([sys.executable, "-c", "import zelquar, zelquar._library as l;"
                          "print(l.candidate_paths()[0]); print(zelquar.driver_version())"],
                         env=env, capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == [str(stage / "lib" / "zelquar" / "libZELQUAR_Drv.so"), "1.1.0.6"]


def test_simulator_control_commands(install):
    with zelquar.Simulator({"tags": [SCENARIO["tags"][0]]}) as sim:
        assert [t["epc"] for t in sim.tags()] == [TAG_A]
        sim.add_tag("E200001122334455", rssi=7)
        assert [t["epc"] for t in sim.tags()] == [TAG_A, "E200001122334455"]
        sim.remove_tag(TAG_A)
        assert [t["rssi"] for t in sim.tags()] == [7]
        sim.set_rssi("E200001122334455", 4000)
        assert sim.tags()[0]["rssi_now"] == 4000
        sim.move_tag("E200001122334455", [[0, 9000], [60000, 9000]], noise=10)
        assert sim.tags()[0]["rssi_now"] == 9000
        sim.read_range(100, 200)
        with pytest.raises(zelquar.SimulatorError):
            sim.read_range(200, 100)
        sim.fault("drop-reply", 2)
        assert sim.state()["faults"]["drop_reply"] == 2
        with pytest.raises(zelquar.SimulatorError):
            sim.fault("no-such-fault", 1)
        with pytest.raises(zelquar.SimulatorError):
            sim.remove_tag("0000")
        directory = sim.directory
        assert os.path.exists(os.path.join(directory, "reader0.json"))
    assert not sim.running and not os.path.exists(os.path.join(directory, "reader0.json"))
    # A scenario the program refuses: its own words in the error.
    with pytest.raises(zelquar.SimulatorError, match="epc"):
        zelquar.Simulator({"tags": [{"epc": "XYZ"}]})


def test_a_name_another_simulator_serves_is_refused_and_the_first_goes_on(install):
    with zelquar.Simulator({"tags": [SCENARIO["tags"][0]]}) as first:
        with pytest.raises(zelquar.SimulatorError, match="already served"):
            zelquar.Simulator()
        assert first.running
        assert [t["epc"] for t in first.tags()] == [TAG_A]


@pytest.mark.parametrize(
    "call",
    [
        lambda r: r.kill(TAG_A, None),
        lambda r: r.kill(TAG_A, "00000000"),
        lambda r: setattr(r, "serial_string", 123),
        lambda r: setattr(r, "serial_string", "ab\ud800"),
        lambda r: r.watch(interval="x"),
        lambda r: r.watch(interval=float("nan")),
        lambda r: r.watch(misses="2"),
        lambda r: r.watch(rounds=-1),
        lambda r: r.watch(rssi="loud"),
    ],
)
def test_bad_arguments_of_reader_calls_are_parameter_errors_before_anything_is_sent(reader, sim, call):
    sent = sim.state()["counters"]["commands_received"]
    with pytest.raises(zelquar.ParameterError):
        call(reader)
    assert sim.state()["counters"]["commands_received"] == sent


def test_power_switches_the_carrier_through_the_reader_and_reports_a_refusal(reader, sim):
    sent = sim.state()["counters"]["commands_received"]
    reader.power(False)
    reader.power(True)
    assert sim.state()["counters"]["commands_received"] == sent + 2
    sim.fault("status", "6A82", 1)
    with pytest.raises(zelquar.ReaderRefused) as refused:
        reader.power(True)
    assert refused.value.status_word == 0x6A82


def test_a_reader_zelquar_agent_keeps_is_reached_through_it(install, sim, stage, monkeypatch, tmp_path):
    """While the reader service keeps the port open, a Reader on it runs its
    calls through the service; what the service does not offer is refused."""
    import json
    import socket
    import time
    import urllib.request

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    agent = subprocess.Popen([str(stage / "bin" / "zelquar-agent"), "--http", f"127.0.0.1:{port}",
                              "--journal", str(tmp_path / "journal.db"), "--interval", "50"],
                             env=install.env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        def present():
            try:
                with urllib.request.urlopen(f"http://127.0.0.1:{port}/api/tags", timeout=5) as r:
                    return {t["epc"] for t in json.loads(r.read()) if t["present"]}
            except OSError:
                return set()
        deadline = time.monotonic() + 30
        while TAG_A not in present() and time.monotonic() < deadline:
            time.sleep(0.1)
        assert TAG_A in present()
        monkeypatch.setenv("ZELQUAR_AGENT", f"127.0.0.1:{port}")
        with zelquar.Reader(0x0100) as reader:
            assert reader.read(TAG_A, "tid", 0, 4) == bytes.fromhex("E2801160200074CF")
            assert TAG_A in {t.epc_hex for t in reader.inventory()}
            with pytest.raises(zelquar.PortInUseError):
                reader.info()
        monkeypatch.setenv("ZELQUAR_AGENT", "127.0.0.1:1")  # nobody there: the port is in use, as before
        with pytest.raises(zelquar.PortInUseError) as error:
            zelquar.Reader(0x0100).open()
        assert error.value.code == -1002
    finally:
        agent.terminate()
        agent.wait(timeout=30)
