"""The pure parts on data: command bytes, response decoding, the lock payload."""

import pytest

from zelquar import Bank, LockAction, ParameterError, ReaderRefused, Response, Tag, lock_payload
from zelquar.commands import check, parse_inventory, read_command, tag_address, write_command

EPC = bytes.fromhex("300833B2DDD9014000000002")
PC_EPC = bytes.fromhex("3000") + EPC


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


def test_tag_commands_carry_the_tag_address_password_bank_pointer_and_count():
    # An EPC alone gets the PC word of its length.
    assert tag_address(EPC.hex()) == PC_EPC
    assert tag_address(Tag(0x3400, EPC)) == bytes.fromhex("3400") + EPC
    assert read_command(PC_EPC, Bank.TID, 0, 4, None) == bytes.fromhex("08100000 0011") + PC_EPC + bytes.fromhex("020004")
    # A password sets P1 bit 1; a pointer of three bytes P2 1, of four P2 3.
    assert read_command(PC_EPC, 3, 0x1234, 2, bytes.fromhex("11223344")) == (
        bytes.fromhex("08100201 0017") + PC_EPC + bytes.fromhex("11223344 03 001234 02"))
    assert read_command(PC_EPC, 3, 0x01000000, 1, None)[:4] == bytes.fromhex("08100003")
    # Writes ask (P1 bit 0) for the count of words written when they stop part-way.
    assert write_command(PC_EPC, 3, 2, bytes.fromhex("CAFEBABE"), None) == (
        bytes.fromhex("08110100 0014") + PC_EPC + bytes.fromhex("03 02 CAFEBABE"))
    for bad in (b"", b"\x01\x02\x03", bytes(258)):
        with pytest.raises(ParameterError):
            write_command(PC_EPC, 3, 0, bad, None)
    for bad_epc in ("ABC", "ZZZZ", bytes(3), bytes(64)):
        with pytest.raises(ParameterError):
            tag_address(bad_epc)


def test_inventory_entries_with_and_without_signal_strength():
    a, b = bytes.fromhex("2000AAAABBBBCCCCDDDD"), bytes.fromhex("0800EEEE")
    with_rssi = Response(bytes.fromhex("0002") + a + bytes.fromhex("1234 A1AF") + b + bytes.fromhex("5678 FFFF"), 0x9000)
    tags = parse_inventory(with_rssi, True, False)
    assert [(t.pc, t.epc_hex, t.crc) for t in tags] == [(0x2000, "AAAABBBBCCCCDDDD", 0x1234), (0x0800, "EEEE", 0x5678)]
    assert [t.rssi for t in tags] == [-24145 / 256, -1 / 256]
    assert [t.rssi for t in parse_inventory(with_rssi, True, True)] == [0xA1AF, 0xFFFF]
    plain = Response(bytes.fromhex("0001") + b + bytes.fromhex("5678"), 0x9000)
    assert parse_inventory(plain, False, False) == [Tag(0x0800, bytes.fromhex("EEEE"), 0x5678, None)]
    # A count with fewer entries behind it gives the entries there are.
    assert parse_inventory(Response(bytes.fromhex("0005") + b + bytes.fromhex("5678"), 0x9000), False, False)[0].epc_hex == "EEEE"
    assert parse_inventory(Response(bytes.fromhex("0000"), 0x9000), True, False) == []


def test_a_refusal_carries_status_word_status_byte_tag_error_and_words_written():
    with pytest.raises(ReaderRefused) as refused:
        check(Response.from_bytes(bytes.fromhex("04016404")), "write", counted=True)
    assert (refused.value.status_word, refused.value.tag_error, refused.value.words_written) == (0x6404, 4, 1)
    assert "memory locked" in str(refused.value) and refused.value.code == 0
    with pytest.raises(ReaderRefused) as refused:
        check(Response.from_bytes(bytes.fromhex("156402")), "read")
    assert (refused.value.status_word, refused.value.reader_status, refused.value.tag_error) == (0x6402, 0x15, None)
    assert check(Response.from_bytes(b"\x90\x00"), "x").data == b""


@pytest.mark.parametrize(
    "bank, pointer, words, password",
    [(None, 0, 1, None), ("flash", 0, 1, None), (4, 0, 1, None), (3, -1, 1, None), (3, 0, "2", None),
     (3, 0, 0, None), (3, 0, True, None), (3, 0, 1, 2**32), (3, 0, 1, "112233")],
)
def test_bad_arguments_are_parameter_errors_before_anything_is_sent(bank, pointer, words, password):
    from zelquar.commands import bank_number, password_bytes

    with pytest.raises(ParameterError) as error:
        read_command(PC_EPC, bank_number(bank), pointer, words, password_bytes(password))
    assert error.value.code == -3
