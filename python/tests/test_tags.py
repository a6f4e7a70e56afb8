"""The tag operations through the Reader against the simulated tags."""

import threading

import pytest

import zelquar
from conftest import KILL_B, KILL_C, PASSWORD_B, SCENARIO, TAG_A, TAG_B, TAG_C, sim_tag


def test_inventory_finds_the_scenarios_tags_with_their_signal_strengths(reader, sim):
    tags = reader.inventory()
    state = {t["epc"]: t for t in sim.tags()}
    assert [t.epc_hex for t in tags] == [TAG_A, TAG_B, TAG_C]
    assert all(t.pc == 0x3000 and t.crc == int(state[t.epc_hex]["stored_crc"], 16) for t in tags)
    assert tags[0].epc == bytes.fromhex(TAG_A) and str(tags[0]) == TAG_A
    # Raw values 1, 65535 and 0 in dBm (signed 8.8 fixed point from the driver).
    assert [t.rssi for t in tags] == [-24145 / 256, -6960 / 256, -128.0]
    assert [t.rssi for t in reader.inventory(rssi="raw")] == [1, 65535, 0]
    assert [t.rssi for t in reader.inventory(rssi=None)] == [None] * 3
    assert reader.inventory()[1].rssi == -27.1875  # the conversion is back on
    sim.load_tags([])
    assert reader.inventory() == []
    sim.fault("status", "6401", 1)  # the reader refuses the Select
    with pytest.raises(zelquar.ReaderRefused) as refused:
        reader.inventory()
    assert (refused.value.status_word, refused.value.reader_status) == (0x6401, None)
    with pytest.raises(zelquar.ParameterError):
        reader.inventory(rssi="percent")


def test_read_write_and_read_back(reader, sim):
    assert reader.read(TAG_B, zelquar.Bank.TID, 0, 4) == bytes.fromhex("E2801160200074D0")
    assert reader.read(TAG_B, "user", 1, 2) == bytes.fromhex("22223333")
    reader.write(TAG_A, "user", 2, "CAFEBABE", verify=True)
    assert reader.read(TAG_A, "user", 0, 4) == bytes.fromhex("00000000CAFEBABE")
    assert sim_tag(sim, TAG_A)["user"] == "00000000CAFEBABE"
    assert sim_tag(sim, TAG_C)["user"] == "0000000000000000"
    # Past the bank's end: the tag's own error code.
    with pytest.raises(zelquar.ReaderRefused) as refused:
        reader.read(TAG_A, "user", 2, 8)
    assert (refused.value.status_word, refused.value.tag_error) == (0x6404, 0x03)
    # A tag that is not in the field.
    with pytest.raises(zelquar.ReaderRefused) as refused:
        reader.read("300833B2DDD9014000000009", "tid", 0, 4)
    assert refused.value.status_word == 0x6402
    with pytest.raises(zelquar.ParameterError):
        reader.write(TAG_A, "user", 0, "AABBCC")


def test_lock_then_a_write_is_refused_with_the_tags_error_code(reader, sim):
    reader.lock(TAG_B, PASSWORD_B, user=zelquar.LockAction.LOCK)
    assert sim_tag(sim, TAG_B)["locked"] == ["user"]
    with pytest.raises(zelquar.ReaderRefused) as refused:
        reader.write(TAG_B, "user", 0, "AAAABBBB")
    assert refused.value.status_word == 0x6404
    assert refused.value.tag_error == 0x04 and "memory locked" in str(refused.value)
    assert refused.value.words_written == 0
    assert sim_tag(sim, TAG_B)["user"] == "1111222233334444"
    # With the access password the tag is secured and takes the write.
    reader.write(TAG_B, "user", 0, "AAAABBBB", password=PASSWORD_B, verify=True)
    assert sim_tag(sim, TAG_B)["user"] == "AAAABBBB33334444"
    # A lock without the access password: the tag stays open and does not answer.
    with pytest.raises(zelquar.ReaderRefused):
        reader.lock(TAG_B, None, user="unlock")
    assert sim_tag(sim, TAG_B)["locked"] == ["user"]


def test_kill(reader, sim):
    with pytest.raises(zelquar.ReaderRefused):
        reader.kill(TAG_B, "00000001")  # wrong password: the tag falls silent
    assert sim_tag(sim, TAG_B)["state"] != "killed"
    reader.kill(TAG_C, KILL_C)
    assert sim_tag(sim, TAG_C)["state"] == "killed"
    assert [t.epc_hex for t in reader.inventory()] == [TAG_A, TAG_B]
    reader.kill(TAG_B, int(KILL_B, 16))
    assert [t.epc_hex for t in reader.inventory()] == [TAG_A]


def test_watch_sees_a_tag_added_and_removed(reader, sim):
    events = reader.watch(interval=0, misses=1, rounds=50)
    first = [next(events) for _ in range(3)]
    assert [(e.kind, e.tag.epc_hex) for e in first] == [("appear", TAG_A), ("appear", TAG_B), ("appear", TAG_C)]
    sim.add_tag("E20000000000000000001234", rssi=10)
    event = next(events)
    assert (event.kind, event.tag.epc_hex, event.tag.pc) == ("appear", "E20000000000000000001234", 0x3000)
    sim.remove_tag(TAG_B)
    event = next(events)
    assert (event.kind, event.tag.epc_hex) == ("leave", TAG_B)
    events.close()


def test_write_epc_gives_the_tag_its_new_identity(reader, sim):
    old = reader.inventory()[0]
    new = reader.write_epc(old, "1234567890ABCDEF")
    assert (new.pc, new.epc_hex) == (0x2000, "1234567890ABCDEF")
    assert [(t.pc, t.epc_hex) for t in reader.inventory()] == [(0x2000, "1234567890ABCDEF"), (0x3000, TAG_B), (0x3000, TAG_C)]
    assert reader.read(new, "epc", 1, 5) == bytes.fromhex("2000 1234567890ABCDEF")
    # The old identity is gone.
    with pytest.raises(zelquar.ReaderRefused):
        reader.read(TAG_A, "user", 0, 1)
    # A tag that needs its access password to be written.
    reader.lock(TAG_B, PASSWORD_B, epc="lock")
    with pytest.raises(zelquar.ReaderRefused):
        reader.write_epc(TAG_B, "BBBB")
    assert reader.write_epc(TAG_B, "BBBB", password=PASSWORD_B).epc_hex == "BBBB"
    assert sim_tag(sim, "BBBB")["pc"] == "0800"


def test_write_epc_uri_then_the_inventory_shows_the_gtin_and_serial(reader, sim):
    uri = "urn:epc:tag:sgtin-96:1.0614141.812345.6789"
    new = reader.write_epc_uri(TAG_C, uri)
    listed = {t.epc_hex: t for t in reader.inventory()}
    assert TAG_C not in listed
    identity = listed[new.epc_hex].identity
    assert identity.is_gs1 and identity.uri == uri
    assert (identity.gtin, identity.serial) == ("80614141123458", "6789")
    assert sim_tag(sim, new.epc_hex)["epc"] == new.epc_hex
    # Every tag carries its URI; one that is no GS1 encoding says why.
    assert not zelquar.Tag(0x2000, bytes.fromhex("1234567890ABCDEF")).identity.is_gs1
    assert zelquar.Tag(0x2000, bytes.fromhex("1234567890ABCDEF")).identity.uri.startswith("urn:epc:raw:64.")
    # An identity the scheme cannot hold is refused before anything is sent.
    with pytest.raises(zelquar.ParameterError):
        reader.write_epc_uri(new, "urn:epc:tag:sgtin-96:9.0614141.812345.6789")


def test_two_readers_on_two_units_from_two_threads(install):
    unit0, unit1 = "300833B2DDD90140000000A0", "300833B2DDD90140000000B1"
    scenario = {"tags": [{"epc": unit0, "user": "A0A0A1A1A2A2A3A3"}],
                "extra_units": [{"unit": 1, "tags": [{"epc": unit1, "user": "0000000000000000"}]}]}
    rounds = 15
    failures = []

    def reads(reader):
        for _ in range(rounds):
            assert [t.epc_hex for t in reader.inventory()] == [unit0]
            assert reader.read(unit0, "user", 0, 4) == bytes.fromhex("A0A0A1A1A2A2A3A3")

    def writes(reader):
        for i in range(rounds):
            word = bytes((0xB1, i))
            reader.write(unit1, "user", 1, word)
            assert reader.read(unit1, "user", 1, 1) == word

    def run(work, reader):
        try:
            work(reader)
        except BaseException as error:  # reported by the main thread
            failures.append(error)

    with zelquar.Simulator(scenario) as sim, zelquar.Reader(0x0100) as first, zelquar.Reader(0x0101) as second:
        threads = [threading.Thread(target=run, args=(reads, first)), threading.Thread(target=run, args=(writes, second))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert failures == []
        extra = sim.state()["extra_units"][0]
        assert extra["tags"][0]["user"] == "0000B10E00000000"
        assert sim.tags()[0]["user"] == "A0A0A1A1A2A2A3A3"


def test_the_example_inventories_and_writes_a_tag(install):
    import os
    import subprocess
    import sys

    example = os.path.join(os.path.dirname(__file__), "..", "examples", "inventory_and_write.py")
    env = install.env()
    del env["ZELQUAR_SIM_DIR"]  # the example's simulator is a private one
    out = subprocess.run([sys.executable, example, "--simulate", "--data", "12345678"], env=env,
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert len(lines) == 4 and lines[-1].endswith(": 12345678")


def test_a_whole_field_a_tag_by_its_epc_alone_and_a_reader_by_its_serial(install):
    # 500 tags (more than one reply holds) and one whose PC word has the
    # user-memory indicator set, which its EPC's length does not tell.
    umi = "E2003412013E170012345678"
    field = [{"epc": f"E2000017{i:016X}", "rssi": 100 + i} for i in range(500)]
    field.append({"epc": umi, "pc": "3400", "user": "ABCDABCDABCDABCD"})
    with zelquar.Simulator({"tags": field}) as sim:
        listed = zelquar.readers()
        assert [(r.serial, r.simulated) for r in listed] == [("SIM0001", True)]
        with zelquar.Reader(serial="SIM0001") as reader:
            for rssi in ("dbm", None):
                tags = reader.inventory(rssi)
                assert sorted(t.epc_hex for t in tags) == sorted(t["epc"] for t in field)
                assert all((t.rssi is None) == (rssi is None) for t in tags)
            assert reader.read(umi, "user", 0, 2) == bytes.fromhex("ABCDABCD")
            reader.write(umi, "user", 1, "1234", verify=True)
            assert sim_tag(sim, umi)["user"] == "ABCD1234ABCDABCD" and sim_tag(sim, umi)["pc"] == "3400"
        with pytest.raises(zelquar.DeviceError):
            zelquar.Reader(serial="NO-SUCH-READER").open()
