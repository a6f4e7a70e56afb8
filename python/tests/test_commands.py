"""The package's own part: the lock payload as the client library makes it,
and arguments refused before anything reaches the reader."""

import pytest

from zelquar import LockAction, ParameterError, lock_payload
from conftest import TAG_A


@pytest.mark.parametrize(
    "actions, payload",
    [
        # mask bits 19..10 and action bits 9..0, two per field: kill, access, epc, tid, user
        ({"user": LockAction.LOCK}, 0b00000000110000000010),
        ({"user": "unlock"}, 0b00000000110000000000),
        ({"kill": LockAction.PERMALOCK}, 0b11000000001100000000),
        ({"access": 2, "epc": "permaunlock"}, 0b00111100000010010000),
        ({"tid": LockAction.PERMALOCK, "user": LockAction.PERMAUNLOCK}, 0b00000011110000001101),
    ],
)
def test_lock_payload_sends_its_twenty_bits_first(actions, payload):
    assert lock_payload(actions) == (payload << 4).to_bytes(3, "big")


@pytest.mark.parametrize("actions", [{}, {"bank": "lock"}, {"user": "sometimes"}, {"user": 4}])
def test_a_lock_payload_that_means_nothing_is_refused(actions):
    with pytest.raises(ParameterError):
        lock_payload(actions)


@pytest.mark.parametrize(
    "call",
    [
        # bank, pointer, word count and password of a read
        lambda r: r.read(TAG_A, None, 0, 1),
        lambda r: r.read(TAG_A, "flash", 0, 1),
        lambda r: r.read(TAG_A, 4, 0, 1),
        lambda r: r.read(TAG_A, 3, -1, 1),
        lambda r: r.read(TAG_A, 3, 0, "2"),
        lambda r: r.read(TAG_A, 3, 0, 0),
        lambda r: r.read(TAG_A, 3, 0, True),
        lambda r: r.read(TAG_A, 3, 0, 1, 2**32),
        lambda r: r.read(TAG_A, 3, 0, 1, "112233"),
        # the EPC that addresses the tag: whole words of hex, at most 31
        lambda r: r.read("ABC", 3, 0, 1),
        lambda r: r.read("ZZZZ", 3, 0, 1),
        lambda r: r.read(bytes(3), 3, 0, 1),
        lambda r: r.read(bytes(64), 3, 0, 1),
        # whole words to write, 1 to 128 of them
        lambda r: r.write(TAG_A, 3, 0, b""),
        lambda r: r.write(TAG_A, 3, 0, b"\x01\x02\x03"),
        lambda r: r.write(TAG_A, 3, 0, bytes(258)),
        lambda r: r.write_epc(TAG_A, ""),
        lambda r: r.lock(TAG_A, None),
        lambda r: r.inventory(session=4),
    ],
)
def test_bad_arguments_of_tag_calls_are_parameter_errors_before_anything_is_sent(reader, sim, call):
    sent = sim.state()["counters"]["commands_received"]
    with pytest.raises(ParameterError) as error:
        call(reader)
    assert error.value.code == -3
    assert sim.state()["counters"]["commands_received"] == sent
