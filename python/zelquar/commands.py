"""The application commands and their responses, as plain functions on bytes.

Sections: values and records (banks, lock actions, Tag, Response); argument
checks; the tag commands (08 xx); response decoding; the lock payload.
Nothing here calls the driver, so all of it can be checked on data alone.
"""

from __future__ import annotations

import enum
from dataclasses import dataclass
from typing import List, Mapping, Optional, Union

from .errors import ERROR_PARAMETER, ParameterError, ReaderRefused

HexLike = Union[bytes, bytearray, memoryview, str]

STATUS_OK = 0x9000

# ---- values and records -----------------------------------------------------


class Bank(enum.IntEnum):
    """Gen2 memory banks."""

    RESERVED = 0
    EPC = 1
    TID = 2
    USER = 3


class LockAction(enum.IntEnum):
    """What a lock does to one memory bank or password.

    UNLOCK: writable (passwords: readable and writable) from any state;
    PERMAUNLOCK: the same, for good; LOCK: writable only from the secured
    state (after the access password); PERMALOCK: never writable (passwords:
    never readable or writable).
    """

    UNLOCK = 0
    PERMAUNLOCK = 1
    LOCK = 2
    PERMALOCK = 3


@dataclass(frozen=True)
class Identity:
    """A tag's GS1 identity: ``is_gs1`` and, with one, ``scheme`` ("sgtin-96"),
    ``filter``, ``uri`` (the tag URI), ``pure_uri``, ``element_string``,
    ``digital_link``, ``gtin`` and ``serial`` ("" where the scheme has none);
    without one, ``uri`` is the raw URI and ``reason`` says why."""

    is_gs1: bool
    scheme: str
    filter: int
    uri: str
    pure_uri: str
    element_string: str
    digital_link: str
    gtin: str
    serial: str
    reason: str


@dataclass(frozen=True, repr=False)
class Tag:
    """One tag as an inventory reports it.

    ``pc`` is the protocol-control word, ``epc`` the EPC bytes (``epc_hex``
    the same as upper-case hex), ``crc`` the stored CRC-16 the reader
    reported with it, ``rssi`` the signal strength: dBm as a float, the
    reader's raw value as an int, or None when it was not asked for.
    """

    pc: int
    epc: bytes
    crc: int = 0
    rssi: Union[float, int, None] = None

    @property
    def epc_hex(self) -> str:
        return self.epc.hex().upper()

    @property
    def pc_epc(self) -> bytes:
        """The PC word followed by the EPC, as tag commands address the tag."""
        return self.pc.to_bytes(2, "big") + self.epc

    @property
    def identity(self) -> "Identity":
        """The GS1 identity the tag's EPC carries (docs/epc.md), decoded by the
        client library: ``uri`` always (the tag URI, or the raw URI), and for a
        GS1 encoding its scheme, GTIN, serial and the other forms."""
        from ._library import decode_identity

        i = decode_identity(self.pc, self.epc)
        text = lambda b: b.decode("utf-8", errors="replace")  # noqa: E731
        return Identity(
            bool(i.is_gs1), text(i.scheme), i.filter, text(i.tag_uri), text(i.pure_uri), text(i.element_string),
            text(i.digital_link), text(i.gtin), text(i.serial), text(i.reason),
        )

    def __str__(self) -> str:
        return self.epc_hex

    def __repr__(self) -> str:
        rssi = "" if self.rssi is None else f", rssi={self.rssi!r}"
        return f"Tag(pc=0x{self.pc:04X}, epc='{self.epc_hex}', crc=0x{self.crc:04X}{rssi})"


@dataclass(frozen=True)
class Response:
    """A response to one application command: its data and the status word.

    ``status_word`` is None for a response too short to carry one.
    """

    data: bytes
    status_word: Optional[int]

    @classmethod
    def from_bytes(cls, raw: bytes) -> "Response":
        if len(raw) < 2:
            return cls(bytes(raw), None)
        return cls(bytes(raw[:-2]), (raw[-2] << 8) | raw[-1])

    @property
    def ok(self) -> bool:
        return self.status_word == STATUS_OK

    def __bytes__(self) -> bytes:
        if self.status_word is None:
            return self.data
        return self.data + self.status_word.to_bytes(2, "big")


# ---- argument checks ----------------------------------------------------------


def hex_bytes(value: HexLike, what: str) -> bytes:
    """Bytes from bytes or from hex text (blanks allowed)."""
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    if isinstance(value, str):
        text = "".join(value.split())
        try:
            return bytes.fromhex(text)
        except ValueError:
            raise ParameterError(ERROR_PARAMETER, f"{what}: not hex text: {value!r}") from None
    raise ParameterError(ERROR_PARAMETER, f"{what}: bytes or hex text expected, not {type(value).__name__}")


def pc_epc_length(first_pc_byte: int) -> int:
    """Bytes of PC word and EPC, from the EPC length in the PC word's top five bits."""
    return (first_pc_byte >> 3) * 2 + 2


def tag_address(tag: Union[Tag, HexLike]) -> bytes:
    """The PC word and EPC that address a tag: a Tag's own, or a PC formed from an EPC's length."""
    if isinstance(tag, Tag):
        return tag.pc_epc
    epc = hex_bytes(tag, "epc")
    if len(epc) % 2 or len(epc) > 62:
        raise ParameterError(ERROR_PARAMETER, f"epc: whole 16-bit words, at most 31, expected ({len(epc)} bytes given)")
    return (len(epc) // 2 << 11).to_bytes(2, "big") + epc


def password_bytes(password: Union[HexLike, int, None], what: str = "password") -> Optional[bytes]:
    """A 32-bit password from an int, bytes or hex text; None stays None."""
    if password is None:
        return None
    if isinstance(password, int):
        return whole_number(password, what, 0, 0xFFFFFFFF).to_bytes(4, "big")
    raw = hex_bytes(password, what)
    if len(raw) != 4:
        raise ParameterError(ERROR_PARAMETER, f"{what}: 4 bytes expected ({len(raw)} given)")
    return raw


def whole_number(value: object, what: str, low: int, high: int) -> int:
    """``value`` when it is an int from ``low`` to ``high``, else ParameterError."""
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise ParameterError(ERROR_PARAMETER, f"{what}: a whole number from {low} to {high}, not {value!r}")
    return value


def bank_number(bank: Union[Bank, int, str]) -> int:
    if isinstance(bank, str):
        try:
            return Bank[bank.upper()]
        except KeyError:
            raise ParameterError(ERROR_PARAMETER, f"bank: one of reserved, epc, tid, user, not {bank!r}") from None
    return whole_number(bank, "bank", 0, 3)


# ---- the tag commands ---------------------------------------------------------


def application_command(cla: int, ins: int, p1: int, p2: int, data: Optional[bytes] = None) -> bytes:
    """CLA INS P1 P2, then (with data) the 16-bit big-endian length and the data."""
    head = bytes((cla, ins, p1, p2))
    if data is None:
        return head
    return head + len(data).to_bytes(2, "big") + data


def inventory_command(with_rssi: bool = True) -> bytes:
    """08 01: select every tag, session 0, and list them (with signal strengths when asked)."""
    return application_command(0x08, 0x01, 0x00, 0x02 if with_rssi else 0x00, b"\x00\x00")


def _word_pointer(pointer: int) -> tuple:
    """The P2 address form and the address bytes of a word pointer."""
    whole_number(pointer, "pointer", 0, 0xFFFFFFFF)
    if pointer < 0x100:
        return 0, pointer.to_bytes(1, "big")
    if pointer < 0x1000000:
        return 1, pointer.to_bytes(3, "big")
    return 3, pointer.to_bytes(4, "big")


def read_command(address: bytes, bank: int, pointer: int, words: int, password: Optional[bytes]) -> bytes:
    """08 10: read ``words`` words from ``pointer`` of ``bank`` of the tag with this PC and EPC."""
    whole_number(words, "words", 1, 255)
    p2, ptr = _word_pointer(pointer)
    body = address + (password or b"") + bytes((bank,)) + ptr + bytes((words,))
    return application_command(0x08, 0x10, 0x02 if password else 0x00, p2, body)


def write_command(address: bytes, bank: int, pointer: int, data: bytes, password: Optional[bytes]) -> bytes:
    """08 11: write whole words; P1 bit 0 asks for the count of words written when it stops part-way."""
    if len(data) % 2 or not 2 <= len(data) <= 256:
        raise ParameterError(ERROR_PARAMETER, f"data: 1 to 128 whole words, not {len(data)} bytes")
    p2, ptr = _word_pointer(pointer)
    body = address + (password or b"") + bytes((bank,)) + ptr + data
    return application_command(0x08, 0x11, 0x01 | (0x02 if password else 0x00), p2, body)


def lock_command(address: bytes, password: bytes, payload: bytes) -> bytes:
    """08 12: lock with the access password and a 3-byte payload (its first 20 bits count)."""
    return application_command(0x08, 0x12, 0x00, 0x00, address + password + payload)


def kill_command(address: bytes, password: bytes) -> bytes:
    """08 13: kill the tag with its kill password."""
    return application_command(0x08, 0x13, 0x00, 0x00, address + password)


# ---- response decoding --------------------------------------------------------


def parse_inventory(response: Response, with_rssi: bool, raw_rssi: bool) -> List[Tag]:
    """The tags of an inventory response: a 16-bit count, then per tag PC+EPC, its CRC and
    (with signal strengths) a 16-bit value, in dBm as signed 8.8 fixed point unless raw."""
    if not response.ok:
        # The four-byte status response: two zero bytes, then the status word.
        raise ReaderRefused(response.status_word if response.status_word is not None else 0x6403, operation="inventory")
    data = response.data
    if len(data) < 2:
        raise ReaderRefused(0x6403, None, operation="inventory (short response)")
    count = int.from_bytes(data[:2], "big")
    tags: List[Tag] = []
    at = 2
    for _ in range(count):
        if at >= len(data):
            break
        size = pc_epc_length(data[at])
        end = at + size + 2 + (2 if with_rssi else 0)
        if end > len(data):
            break
        pc = int.from_bytes(data[at : at + 2], "big")
        epc = bytes(data[at + 2 : at + size])
        crc = int.from_bytes(data[at + size : at + size + 2], "big")
        rssi: Union[float, int, None] = None
        if with_rssi:
            value = data[at + size + 2 : end]
            rssi = int.from_bytes(value, "big") if raw_rssi else int.from_bytes(value, "big", signed=True) / 256.0
        tags.append(Tag(pc, epc, crc, rssi))
        at = end
    return tags


def check(response: Response, operation: str, *, counted: bool = False) -> Response:
    """The response itself when its status word is 90 00, else the ReaderRefused for it.

    Refusals of the tag operations are a status byte (the reader's, or for
    64 04 the tag's error code), with ``counted`` the count of words written,
    then the status word."""
    if response.ok:
        return response
    sw = response.status_word if response.status_word is not None else 0x6403
    data = response.data
    status = data[0] if data else None
    written = data[1] if counted and len(data) >= 2 else None
    raise ReaderRefused(sw, status, written, operation)


# ---- the lock payload -------------------------------------------------------------

_LOCK_FIELDS = ("kill", "access", "epc", "tid", "user")


def lock_payload(actions: Mapping[str, Union[LockAction, int, str]]) -> bytes:
    """The 3 payload bytes for a Lock: bits 19..10 the mask, 9..0 the actions, two bits each for
    the kill password, access password, EPC, TID and user bank; fields not named stay as they are."""
    if not actions:
        raise ParameterError(ERROR_PARAMETER, "lock: name at least one of kill, access, epc, tid, user")
    value = 0
    for name, action in actions.items():
        if name not in _LOCK_FIELDS:
            raise ParameterError(ERROR_PARAMETER, f"lock: no field {name!r} (kill, access, epc, tid, user)")
        if isinstance(action, str):
            try:
                action = LockAction[action.upper()]
            except KeyError:
                raise ParameterError(ERROR_PARAMETER, f"lock {name}: unlock, permaunlock, lock or permalock, not {action!r}") from None
        whole_number(action, f"lock {name}", 0, 3)
        shift = 2 * (4 - _LOCK_FIELDS.index(name))
        value |= 0b11 << (10 + shift)
        value |= int(action) << shift
    return (value << 4).to_bytes(3, "big")
