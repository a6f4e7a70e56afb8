"""The values, records and argument checks of the package's calls.

The command bytes themselves are the client library's (libzelquar.so,
zelquar.h): this module only checks what a caller passes, so that a wrong
argument is a ParameterError before anything is sent, and turns it into
the form the library takes.

Sections: values and records (banks, lock actions, Tag, Response); argument
checks; the lock payload.
"""

from __future__ import annotations

import ctypes
import enum
from dataclasses import dataclass
from typing import Mapping, Optional, Union

from .errors import ERROR_PARAMETER, ParameterError

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


def tag_address(tag: Union[Tag, HexLike]) -> "tuple[bytes, int]":
    """The EPC that addresses a tag and its PC word: a Tag's own, or for an
    EPC alone -1 (the client library takes the PC word from the field)."""
    if isinstance(tag, Tag):
        return tag.epc, tag.pc
    epc = hex_bytes(tag, "epc")
    if len(epc) % 2 or len(epc) > 62:
        raise ParameterError(ERROR_PARAMETER, f"epc: whole 16-bit words, at most 31, expected ({len(epc)} bytes given)")
    return epc, -1


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


# ---- the lock payload -------------------------------------------------------------

_LOCK_FIELDS = ("kill", "access", "epc", "tid", "user")


def lock_payload(actions: Mapping[str, Union[LockAction, int, str]]) -> bytes:
    """The 3 payload bytes for a Lock (made by the client library): bits 19..10 the mask, 9..0
    the actions, two bits each for the kill password, access password, EPC, TID and user bank;
    fields not named stay as they are."""
    if not actions:
        raise ParameterError(ERROR_PARAMETER, "lock: name at least one of kill, access, epc, tid, user")
    forms = []
    for name, action in actions.items():
        if name not in _LOCK_FIELDS:
            raise ParameterError(ERROR_PARAMETER, f"lock: no field {name!r} (kill, access, epc, tid, user)")
        if isinstance(action, str):
            try:
                action = LockAction[action.upper()]
            except KeyError:
                raise ParameterError(ERROR_PARAMETER, f"lock {name}: unlock, permaunlock, lock or permalock, not {action!r}") from None
        whole_number(action, f"lock {name}", 0, 3)
        forms.append(f"{name}={LockAction(action).name.lower()}")
    from ._library import OK, load

    payload = (ctypes.c_uint8 * 3)()
    why = ctypes.create_string_buffer(256)
    if load().lib.zq_lock_payload(",".join(forms).encode(), payload, why, len(why)) != OK:
        raise ParameterError(ERROR_PARAMETER, f"lock: {why.value.decode('utf-8', errors='replace')}")
    return bytes(payload)
