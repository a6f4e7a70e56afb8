"""The Reader: one port of the driver, opened and closed as a context manager,
through the client library's typed calls (libzelquar.so, zelquar.h).

Sections: module-level calls (driver_version, readers); records (ReaderInfo,
ReaderDescription, TagEvent); Reader: open/close, calls into the library,
transmit, reader settings (info, power, gpio, serial string), tag operations
(inventory, watch, read, write, write_epc, lock, kill).
"""

from __future__ import annotations

import ctypes
import threading
import time
from dataclasses import dataclass
from typing import Dict, Iterator, List, Literal, Optional, Union

from . import _library
from ._library import OPEN_BOOT_MODE, OPEN_PASS_THROUGH, OPEN_SKIP_DOWNLOAD, Outcome
from .commands import (
    Bank,
    HexLike,
    LockAction,
    Response,
    Tag,
    bank_number,
    hex_bytes,
    lock_payload,
    password_bytes,
    tag_address,
    whole_number,
)
from .errors import (
    ERROR_NOT_OPEN,
    ERROR_PARAMETER,
    OK,
    NotOpenError,
    ParameterError,
    ReaderRefused,
    VerifyError,
    error_for_outcome,
)

RssiForm = Literal["dbm", "raw"]
TagRef = Union[Tag, HexLike]

# The largest response of any command (the pass-through reply area).
RESPONSE_CAPACITY = 65536


def _version_text(raw: bytes) -> str:
    return ".".join(str(int.from_bytes(raw[i : i + 2], "big")) for i in range(0, 8, 2))


def driver_version(library: Optional[str] = None) -> str:
    """The driver library's file version, "major.minor.build.revision"."""
    out = (ctypes.c_uint8 * 8)()
    client = _library.load(library)
    if client.lib.zq_driver_version(out) != OK:
        raise error_for_outcome(Outcome(result=4), "driver version", "the driver library could not be loaded")
    return _version_text(bytes(out))


@dataclass(frozen=True)
class ReaderDescription:
    """A reader present on the host: ``serial`` its USB serial number, ``path``
    its device path, ``simulated`` True for a zelquar-sim reader."""

    serial: str
    path: str
    simulated: bool


def readers(library: Optional[str] = None) -> List[ReaderDescription]:
    """The readers present now (open one with ``Reader(serial=...)``)."""
    lib = _library.load(library).lib
    count = ctypes.c_size_t(0)
    entries = (_library.ReaderEntry * 64)()
    if lib.zq_list_readers(entries, len(entries), ctypes.byref(count)) != OK:
        raise error_for_outcome(Outcome(result=4), "list readers", "the driver library could not be loaded")
    text = lambda b: b.decode("utf-8", errors="replace")  # noqa: E731
    return [ReaderDescription(text(e.serial), text(e.path), bool(e.simulated)) for e in entries[: min(count.value, 64)]]


@dataclass(frozen=True)
class ReaderInfo:
    """What the reader and the driver tell about themselves.

    ``block``: the reader information block (00 05 00 00) without its status
    word; ``reader_type``: the reader type code; ``firmware_version``: the
    reader module's firmware version as 4 hex digits; ``driver_version``:
    the driver library's file version.
    """

    block: bytes
    reader_type: int
    firmware_version: str
    driver_version: str


@dataclass(frozen=True)
class TagEvent:
    """A change seen by :meth:`Reader.watch`: ``kind`` is "appear" or "leave"."""

    kind: Literal["appear", "leave"]
    tag: Tag


class Gpio:
    """The bridge's GPIO lines 0 to 15: ``reader.gpio.read()`` gives all as a
    16-bit value, ``reader.gpio[n]`` one line, ``reader.gpio[n] = True`` sets it."""

    def __init__(self, reader: "Reader") -> None:
        self._reader = reader

    def read(self) -> int:
        lines = ctypes.c_uint16(0)
        self._reader._call("GPIO read", "zq_gpio_read", ctypes.byref(lines))
        return lines.value

    def __getitem__(self, line: int) -> bool:
        _gpio_line(line)
        return bool(self.read() >> line & 1)

    def __setitem__(self, line: int, on: bool) -> None:
        _gpio_line(line)
        self._reader._call("GPIO write", "zq_gpio_write", line, 1 if on else 0)


def _gpio_line(line: int) -> None:
    whole_number(line, "GPIO line", 0, 15)


class Reader:
    """One reader unit through the client library.

    ``port``: COM number in bits 8..15 (1 to 32), unit index in bits 0..7
    (0 to 31). ``serial``: open the reader with this USB serial number
    instead (unit ``port & 0xFF``; see :func:`readers`). ``library``: the
    path of libZELQUAR_Drv.so (see the package documentation for where it is
    looked for otherwise). The open data block's flags: ``skip_download``
    (no firmware check at this open), ``boot_mode`` (leave the reader in its
    boot mode) and ``pass_through`` (every command goes to the reader
    unchanged); they hold for a port number, not a serial number.

    Use it as a context manager: the port opens on entering and closes on
    leaving, also when the block raises. Each method may be called from any
    thread; calls on one Reader are serialised.
    """

    def __init__(
        self,
        port: int = 0x0100,
        library: Optional[str] = None,
        *,
        serial: Optional[str] = None,
        skip_download: bool = False,
        boot_mode: bool = False,
        pass_through: bool = False,
    ) -> None:
        self.port = port
        self.serial = serial
        self._client = _library.load(library)
        self._flags = (
            (OPEN_SKIP_DOWNLOAD if skip_download else 0)
            | (OPEN_BOOT_MODE if boot_mode else 0)
            | (OPEN_PASS_THROUGH if pass_through else 0)
        )
        self._lock = threading.RLock()
        self._handle: Optional[ctypes.c_void_p] = None
        self.gpio = Gpio(self)

    @property
    def library_path(self) -> str:
        """The driver library this reader uses."""
        return self._client.path

    @property
    def is_open(self) -> bool:
        return self._handle is not None

    # ---- open and close ------------------------------------------------------

    def open(self) -> "Reader":
        """Opens the port (by port number or serial number); opening an open Reader does nothing."""
        if self._handle is not None:
            return self
        whole_number(self.port, "port", 0, 0xFFFFFFFF)
        if self.serial is not None and (not isinstance(self.serial, str) or not self.serial):
            raise ParameterError(ERROR_PARAMETER, f"serial: a reader's serial number, not {self.serial!r}")
        if self.serial is not None and self._flags:
            raise ParameterError(ERROR_PARAMETER, "the open flags hold for a port number, not a serial number")
        lib, handle, outcome = self._client.lib, ctypes.c_void_p(), Outcome()
        with self._lock:
            if self.serial is not None:
                result = lib.zq_open_serial_unit(self.serial.encode(), self.port & 0xFF, ctypes.byref(handle),
                                                 ctypes.byref(outcome))
                what = f"open reader {self.serial}"
            else:
                result = lib.zq_open_port_flags(self.port, self._flags, ctypes.byref(handle), ctypes.byref(outcome))
                what = f"RFRW_Open(0x{self.port:04X})"
            if result != OK:
                raise error_for_outcome(outcome, what, self._client.sentence(outcome))
            self._handle = handle
            self.port = lib.zq_reader_port(handle)
        return self

    def close(self) -> None:
        """Closes the port; closing a closed port does nothing."""
        with self._lock:
            if self._handle is None:
                return
            handle, self._handle = self._handle, None
            self._client.lib.zq_close(handle)

    def __enter__(self) -> "Reader":
        return self.open()

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        port = f"0x{self.port:04X}" if isinstance(self.port, int) else repr(self.port)
        return f"Reader(port={port}, {'open' if self._handle is not None else 'closed'})"

    # ---- calls into the library --------------------------------------------------

    def _call(self, what: str, name: str, *arguments: object) -> Outcome:
        """The library function ``name`` on this reader's handle; raises for any result but OK."""
        outcome = Outcome()
        with self._lock:
            if self._handle is None:
                raise NotOpenError(ERROR_NOT_OPEN, f"{what}: the port is not open")
            result = getattr(self._client.lib, name)(self._handle, *arguments, ctypes.byref(outcome))
        if result != OK:
            raise error_for_outcome(outcome, what, self._client.sentence(outcome))
        return outcome

    def _tag_call(self, what: str, name: str, tag: TagRef, *arguments: object) -> Outcome:
        """A tag operation: the tag's EPC and PC word (or -1), then ``arguments``."""
        epc, pc = tag_address(tag)
        return self._call(what, name, _bytes_in(epc), len(epc), pc, *arguments)

    # ---- any command -----------------------------------------------------------

    def transmit(self, apdu: Union[bytes, bytearray, str]) -> Response:
        """Sends one application command (CLA INS P1 P2 [Lc data]) and returns the
        response as it came, whatever its status word. A failed call raises."""
        command = hex_bytes(apdu, "apdu")
        if not 1 <= len(command) <= 1552:
            raise ParameterError(ERROR_PARAMETER, f"command: 1 to 1552 bytes, not {len(command)}")
        out = (ctypes.c_uint8 * RESPONSE_CAPACITY)()
        length = ctypes.c_size_t(0)
        self._call(f"RFRW_CLRW_Transmit(0x{self.port:04X}, {command[:4].hex().upper()})", "zq_raw",
                   _bytes_in(command), len(command), out, len(out), ctypes.byref(length))
        return Response.from_bytes(bytes(out[: length.value]))

    # ---- reader settings -----------------------------------------------------------

    def info(self) -> ReaderInfo:
        """The reader information block, reader type, firmware and driver versions."""
        details = _library.ReaderDetails()
        self._call("reader information", "zq_reader_details_get", ctypes.byref(details))
        block = (ctypes.c_uint8 * 1024)()
        length = ctypes.c_size_t(0)
        self._call("information block", "zq_information_block", block, len(block), ctypes.byref(length))
        kind = bytes(details.reader_type[: details.reader_type_length])
        firmware = bytes(details.firmware[: details.firmware_length])
        return ReaderInfo(bytes(block[: length.value]), kind[0] if kind else 0, firmware.hex().upper(),
                          _version_text(bytes(details.driver_version)))

    def power(self, on: bool) -> None:
        """Switches the reader's RF power on or off (RFRW_PowerCtrl)."""
        self._call("power control", "zq_power", 1 if on else 0)

    def set_power_level(self, level: int) -> None:
        """Sets the transmit power level (0 to 63; 10 to 30 are the reader's range)."""
        whole_number(level, "power level", 0, 63)
        self._call("power level", "zq_power_level", level)

    @property
    def serial_string(self) -> str:
        """The bridge's USB serial-number string (at most 30 characters)."""
        text = ctypes.create_string_buffer(128)
        self._call("serial string", "zq_serial_get", text, len(text))
        return text.value.decode("utf-8", errors="replace")

    @serial_string.setter
    def serial_string(self, value: str) -> None:
        if not isinstance(value, str):
            raise ParameterError(ERROR_PARAMETER, f"serial string: a str, not {type(value).__name__}")
        if len(value) > 30 or "\x00" in value or not value.isascii() or not value.isprintable():
            raise ParameterError(ERROR_PARAMETER, f"serial string: at most 30 printable ASCII characters, not {value!r}")
        self._call("serial string", "zq_serial_set", value.encode("ascii"))

    # ---- tag operations ------------------------------------------------------------

    def inventory(self, rssi: Optional[RssiForm] = "dbm", *, session: int = 2) -> List[Tag]:
        """Every tag in the field, over as many inventory rounds as it takes.
        ``rssi``: "dbm" (signal strength in dBm, a float), "raw" (the reader's
        raw value, an int) or None (not asked for); ``session``: the Gen2
        session of the rounds (0 to 3)."""
        if rssi not in ("dbm", "raw", None):
            raise ParameterError(ERROR_PARAMETER, f"rssi: 'dbm', 'raw' or None, not {rssi!r}")
        whole_number(session, "session", 0, 3)
        lib = self._client.lib
        options = lib.zq_inventory_defaults()
        options.with_rssi = 0 if rssi is None else 1
        options.rssi_raw = 1 if rssi == "raw" else 0
        options.session = session
        listed = ctypes.POINTER(_library.TagList)()
        self._call("inventory", "zq_inventory", ctypes.byref(options), ctypes.byref(listed))
        try:
            tags = []
            for t in listed.contents.tags[: listed.contents.count]:
                value: Union[float, int, None] = None
                if t.has_rssi:
                    value = t.rssi_raw if t.rssi_is_raw else t.rssi_dbm
                tags.append(Tag(t.pc, bytes(t.epc[: t.epc_length]), t.crc, value))
            return tags
        finally:
            lib.zq_tag_list_free(listed)
    def watch(
        self,
        interval: float = 0.5,
        *,
        rssi: Optional[RssiForm] = None,
        misses: int = 2,
        rounds: Optional[int] = None,
    ) -> Iterator[TagEvent]:
        """Inventories again and again and yields a TagEvent whenever a tag appears or
        leaves. A tag leaves after it was missing from ``misses`` inventories in a row;
        ``interval`` seconds pass between inventories; ``rounds`` ends it after that many.
        Closing the generator (or breaking out of the loop) stops it. Bad arguments
        raise ParameterError at the call, before anything is sent."""
        if isinstance(interval, bool) or not isinstance(interval, (int, float)) or not interval >= 0:
            raise ParameterError(ERROR_PARAMETER, f"watch: interval a number of seconds, not negative, not {interval!r}")
        whole_number(misses, "watch: misses", 1, 2**31 - 1)
        if rounds is not None:
            whole_number(rounds, "watch: rounds", 0, 2**63 - 1)
        if rssi not in ("dbm", "raw", None):
            raise ParameterError(ERROR_PARAMETER, f"rssi: 'dbm', 'raw' or None, not {rssi!r}")
        return self._watch(float(interval), rssi, misses, rounds)

    def _watch(self, interval: float, rssi: Optional[RssiForm], misses: int, rounds: Optional[int]) -> Iterator[TagEvent]:
        present: Dict[bytes, Tag] = {}
        missing: Dict[bytes, int] = {}
        done = 0
        while rounds is None or done < rounds:
            if done:
                time.sleep(interval)
            done += 1
            seen = {tag.pc_epc: tag for tag in self.inventory(rssi)}
            for key, tag in seen.items():
                missing.pop(key, None)
                if key not in present:
                    present[key] = tag
                    yield TagEvent("appear", tag)
            for key in [k for k in present if k not in seen]:
                missing[key] = missing.get(key, 0) + 1
                if missing[key] >= misses:
                    del missing[key]
                    yield TagEvent("leave", present.pop(key))

    def read(
        self,
        epc: TagRef,
        bank: Union[Bank, int, str],
        ptr: int,
        words: int,
        password: Union[HexLike, int, None] = None,
    ) -> bytes:
        """Reads ``words`` 16-bit words from word ``ptr`` of ``bank`` of the tag ``epc``
        (a Tag, or its EPC as hex or bytes), with the access password if given."""
        bank_no = bank_number(bank)
        whole_number(ptr, "pointer", 0, 0xFFFFFFFF)
        whole_number(words, "words", 1, 255)
        pw = password_bytes(password)
        out = (ctypes.c_uint8 * (2 * words))()
        length = ctypes.c_size_t(0)
        self._tag_call("read", "zq_read", epc, bank_no, ptr, words, _bytes_in(pw), out, len(out), ctypes.byref(length))
        if length.value != 2 * words:
            raise ReaderRefused(0x6403, operation=f"read ({length.value} bytes for {words} words)")
        return bytes(out[: length.value])

    def write(
        self,
        epc: TagRef,
        bank: Union[Bank, int, str],
        ptr: int,
        data: HexLike,
        password: Union[HexLike, int, None] = None,
        verify: bool = False,
    ) -> None:
        """Writes whole words from word ``ptr`` of ``bank``; with ``verify`` reads them
        back. A write that stops part-way raises ReaderRefused with ``words_written``."""
        raw = hex_bytes(data, "data")
        bank_no = bank_number(bank)
        whole_number(ptr, "pointer", 0, 0xFFFFFFFF)
        if len(raw) % 2 or not 2 <= len(raw) <= 256:
            raise ParameterError(ERROR_PARAMETER, f"data: 1 to 128 whole words, not {len(raw)} bytes")
        pw = password_bytes(password)
        target = epc
        if verify and bank_no == Bank.EPC and not isinstance(epc, Tag):
            # The read-back addresses the tag by what the write makes of its
            # PC word and EPC, so the PC word it has now is needed.
            target = self._tag_in_field(epc)
        self._tag_call("write", "zq_write", target, bank_no, ptr, _bytes_in(raw), len(raw), 0, _bytes_in(pw))
        if verify:
            after = _after_epc_write(target, ptr, raw) if bank_no == Bank.EPC else target
            back = self.read(after, bank_no, ptr, len(raw) // 2, pw)
            if back != raw:
                raise VerifyError(raw, back)

    def _tag_in_field(self, epc: HexLike) -> Tag:
        """The tag with this EPC as the field lists it (its own PC word); a tag
        not in the field is addressed with the PC word of its EPC's length."""
        wanted, _ = tag_address(epc)
        for tag in self.inventory(None):
            if tag.epc == wanted:
                return tag
        return Tag((len(wanted) // 2) << 11, wanted)

    def write_epc(self, old: TagRef, new: HexLike, password: Union[HexLike, int, None] = None) -> Tag:
        """Gives the tag ``old`` the EPC ``new`` (whole words): writes the PC word with the
        new length (keeping the PC's other bits) and the EPC, and checks that the tag
        answers with them. Returns the tag as it now is."""
        epc = hex_bytes(new, "new")
        if not epc or len(epc) % 2 or len(epc) > 62:
            raise ParameterError(ERROR_PARAMETER, f"new: 1 to 31 whole words, not {len(epc)} bytes")
        pw = password_bytes(password)
        pc = ctypes.c_uint16(0)
        self._tag_call("write EPC", "zq_write_epc", old, _bytes_in(epc), len(epc), _bytes_in(pw), ctypes.byref(pc))
        return Tag(pc.value, epc)

    def write_epc_uri(self, old: TagRef, uri: str, password: Union[HexLike, int, None] = None) -> Tag:
        """Writes a GS1 identity (a tag URI such as
        ``urn:epc:tag:sgtin-96:1.0614141.812345.6789``, encoded by the client
        library) as the tag's new EPC, like :meth:`write_epc`; a URI that does
        not encode raises ParameterError with the reason."""
        if not isinstance(uri, str):
            raise ParameterError(ERROR_PARAMETER, f"uri: a str, not {type(uri).__name__}")
        _, epc, why = _library.encode_uri(uri)
        if not epc:
            raise ParameterError(ERROR_PARAMETER, f"uri: {why}")
        written = _library.CTag()
        pw = password_bytes(password)
        self._tag_call("write EPC", "zq_write_epc_uri", old, uri.encode("utf-8"), _bytes_in(pw), ctypes.byref(written))
        return Tag(written.pc, bytes(written.epc[: written.epc_length]))

    def lock(
        self,
        tag: TagRef,
        /,
        password: Union[HexLike, int, None] = None,
        **actions: Union[LockAction, int, str],
    ) -> None:
        """Locks or unlocks memory of the tag: keyword ``kill``, ``access``, ``epc``, ``tid``,
        ``user`` with a LockAction (or its name). ``password``: the access password (none: 0)."""
        payload = lock_payload(actions)
        pw = password_bytes(password) or bytes(4)
        self._tag_call("lock", "zq_lock", tag, _bytes_in(pw), _bytes_in(payload))

    def kill(self, epc: TagRef, password: Union[HexLike, int]) -> None:
        """Kills the tag for good with its (non-zero) kill password."""
        pw = password_bytes(password, "kill password")
        if pw is None:
            raise ParameterError(ERROR_PARAMETER, "kill password: a tag is killed only with its kill password, not None")
        if pw == bytes(4):
            raise ParameterError(ERROR_PARAMETER, "kill password: 00000000 kills no tag; give the tag's kill password")
        self._tag_call("kill", "zq_kill", epc, _bytes_in(pw))


def _bytes_in(data: Optional[bytes]):
    """Bytes as the library takes them (a uint8_t array), None as NULL."""
    if data is None:
        return None
    return (ctypes.c_uint8 * max(1, len(data))).from_buffer_copy(data or b"\0")


def _after_epc_write(tag: TagRef, ptr: int, data: bytes) -> Tag:
    """The tag as it answers once ``data`` went to word ``ptr`` of its EPC bank
    (the bank holds the stored CRC in word 0, the PC in word 1, the EPC from word 2)."""
    epc, pc = tag_address(tag)
    memory = bytearray(max(pc, 0).to_bytes(2, "big") + epc)
    start = (ptr - 1) * 2
    for i, byte in enumerate(data):
        at = start + i
        if at < 0:
            continue
        if at >= len(memory):
            memory.extend(bytes(at - len(memory) + 1))
        memory[at] = byte
    memory = memory[: (memory[0] >> 3) * 2 + 2]
    return Tag(int.from_bytes(memory[:2], "big"), bytes(memory[2:]))
