"""The Reader: one port of the driver, opened and closed as a context manager.

Sections: module-level calls (driver_version); records (ReaderInfo,
TagEvent); Reader: open/close, transmit, reader settings (info, power, gpio,
serial string), tag operations (inventory, watch, read, write, write_epc,
lock, kill).
"""

from __future__ import annotations

import ctypes
import threading
import time
from dataclasses import dataclass
from typing import Dict, Iterator, List, Literal, Optional, Union

from . import _library
from .commands import (
    Bank,
    HexLike,
    LockAction,
    Response,
    Tag,
    application_command,
    bank_number,
    check,
    hex_bytes,
    inventory_command,
    kill_command,
    lock_command,
    lock_payload,
    parse_inventory,
    password_bytes,
    read_command,
    tag_address,
    whole_number,
    write_command,
)
from .errors import ERROR_PARAMETER, ParameterError, ReaderRefused, VerifyError, error_for

RssiForm = Literal["dbm", "raw"]
TagRef = Union[Tag, HexLike]

# The largest response of any command (the pass-through reply area).
RESPONSE_CAPACITY = 65536
# The signal-strength form of inventories is one setting of the whole
# process (RSSI mode 20 20), so setting it and inventorying go together.
_rssi_lock = threading.Lock()


def driver_version(library: Optional[str] = None) -> str:
    """The driver library's file version, "major.minor.build.revision"."""
    driver = _library.load(library)
    length = ctypes.c_int32(8)
    out = (ctypes.c_uint8 * 8)()
    result = driver.get_dll_version(ctypes.byref(length), out)
    if result != 0:
        raise error_for(result, "RFRW_GetDllVersion")
    raw = bytes(out)
    return ".".join(str(int.from_bytes(raw[i : i + 2], "big")) for i in range(0, 8, 2))


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
        response = check(self._reader._command(b"\x20\x40\x00\x00"), "GPIO read")
        if len(response.data) != 2:
            raise ReaderRefused(0x6403, operation="GPIO read (short response)")
        return int.from_bytes(response.data, "big")

    def __getitem__(self, line: int) -> bool:
        _gpio_line(line)
        return bool(self.read() >> line & 1)

    def __setitem__(self, line: int, on: bool) -> None:
        _gpio_line(line)
        check(self._reader._command(bytes((0x20, 0x41, line, 1 if on else 0))), "GPIO write")


def _gpio_line(line: int) -> None:
    whole_number(line, "GPIO line", 0, 15)


class Reader:
    """One reader unit through the driver.

    ``port``: COM number in bits 8..15 (1 to 32), unit index in bits 0..7
    (0 to 31). ``library``: the path of libZELQUAR_Drv.so (see the package
    documentation for where it is looked for otherwise). The open data
    block's flags: ``skip_download`` (no firmware check at this open),
    ``boot_mode`` (leave the reader in its boot mode) and ``pass_through``
    (every command goes to the reader unchanged).

    Use it as a context manager: the port opens on entering and closes on
    leaving, also when the block raises. Each method may be called from any
    thread; calls on one Reader are serialised.
    """

    def __init__(
        self,
        port: int = 0x0100,
        library: Optional[str] = None,
        *,
        skip_download: bool = False,
        boot_mode: bool = False,
        pass_through: bool = False,
    ) -> None:
        self.port = port
        self._driver = _library.load(library)
        self._flags = (skip_download, boot_mode, pass_through)
        self._lock = threading.RLock()
        self._length = ctypes.c_int32(0)
        self._buffer = (ctypes.c_uint8 * RESPONSE_CAPACITY)()
        self._open = False
        self.gpio = Gpio(self)

    @property
    def library_path(self) -> str:
        """The driver library this reader uses."""
        return self._driver.path

    @property
    def is_open(self) -> bool:
        return self._open

    # ---- open and close ------------------------------------------------------

    def open(self) -> "Reader":
        """Opens the port (RFRW_Open); opening an open Reader does nothing."""
        if self._open:
            return self
        whole_number(self.port, "port", 0, 0xFFFFFFFF)
        block = None
        if any(self._flags):
            raw = bytes(12) + b"#T" + bytes(int(f) for f in self._flags)
            block = (ctypes.c_uint8 * len(raw)).from_buffer_copy(raw)
        with self._lock:
            result = self._driver.open(self.port, len(block) if block else 0, block)
            if result != 0:
                raise error_for(result, f"RFRW_Open(0x{self.port:04X})")
            self._open = True
        return self

    def close(self) -> None:
        """Closes the port (RFRW_Close); closing a closed port does nothing."""
        with self._lock:
            if not self._open:
                return
            self._open = False
            result = self._driver.close(self.port)
        if result != 0:
            raise error_for(result, f"RFRW_Close(0x{self.port:04X})")

    def __enter__(self) -> "Reader":
        return self.open()

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        port = f"0x{self.port:04X}" if isinstance(self.port, int) else repr(self.port)
        return f"Reader(port={port}, {'open' if self._open else 'closed'})"

    # ---- any command -----------------------------------------------------------

    def transmit(self, apdu: Union[bytes, bytearray, str]) -> Response:
        """Sends one application command (CLA INS P1 P2 [Lc data]) and returns the
        response as it came, whatever its status word. A failed call raises."""
        return self._command(hex_bytes(apdu, "apdu"))

    def _command(self, command: bytes) -> Response:
        if not 1 <= len(command) <= 1552:
            raise ParameterError(ERROR_PARAMETER, f"command: 1 to 1552 bytes, not {len(command)}")
        send = (ctypes.c_uint8 * len(command)).from_buffer_copy(command)
        with self._lock:
            self._length.value = RESPONSE_CAPACITY
            result = self._driver.transmit(self.port, len(command), send, ctypes.byref(self._length), self._buffer)
            if result != 0:
                raise error_for(result, f"RFRW_CLRW_Transmit(0x{self.port:04X}, {command[:4].hex().upper()})")
            # 00 17 xx 00 is answered by the driver without a response (the
            # length stays as given), unless every command goes to the reader.
            if command[:2] == b"\x00\x17" and command[3:4] == b"\x00" and not self._flags[2]:
                return Response(b"", None)
            length = max(0, min(self._length.value, RESPONSE_CAPACITY))
            return Response.from_bytes(ctypes.string_at(self._buffer, length))

    # ---- reader settings -----------------------------------------------------------

    def info(self) -> ReaderInfo:
        """The reader information block, reader type, firmware and driver versions."""
        block = check(self._command(b"\x00\x05\x00\x00"), "information block").data
        kind = check(self._command(b"\x00\x05\x12\x00"), "reader type").data
        firmware = check(self._command(b"\x00\x05\x16\x00"), "firmware version").data
        return ReaderInfo(block, kind[0] if kind else 0, firmware.hex().upper(), driver_version(self._driver.path))

    def power(self, on: bool) -> None:
        """Switches the reader's RF power on or off (RFRW_PowerCtrl)."""
        status = ctypes.c_int32(0)
        with self._lock:
            result = self._driver.power_ctrl(self.port, 3 if on else 0, ctypes.byref(status))
        if result != 0:
            raise error_for(result, f"RFRW_PowerCtrl(0x{self.port:04X})")
        if status.value & 0xFFFF != 0x9000:
            raise ReaderRefused(status.value & 0xFFFF, operation="power control")

    def set_power_level(self, level: int) -> None:
        """Sets the transmit power level (0 to 63; 10 to 30 are the reader's range)."""
        whole_number(level, "power level", 0, 63)
        check(self._command(bytes((0x00, 0x18, level, 0x00))), "power level")

    @property
    def serial_string(self) -> str:
        """The bridge's USB serial-number string (at most 30 characters)."""
        data = check(self._command(b"\x20\x30\x00\x00"), "serial string").data
        text = data[:60].decode("utf-16-le", errors="replace")
        return text.split("\x00", 1)[0]

    @serial_string.setter
    def serial_string(self, value: str) -> None:
        if not isinstance(value, str):
            raise ParameterError(ERROR_PARAMETER, f"serial string: a str, not {type(value).__name__}")
        try:
            raw = value.encode("utf-16-le")
        except UnicodeEncodeError:
            # A lone surrogate has no UTF-16 form.
            raise ParameterError(ERROR_PARAMETER, f"serial string: not text a USB string can hold: {value!r}") from None
        if len(raw) > 60 or "\x00" in value:
            raise ParameterError(ERROR_PARAMETER, "serial string: at most 30 characters, no NUL")
        body = b"2354" + raw + bytes(61 - len(raw))
        check(self._command(application_command(0x20, 0x30, 0x00, 0x01, body)), "serial string")

    # ---- tag operations ------------------------------------------------------------

    def inventory(self, rssi: Optional[RssiForm] = "dbm") -> List[Tag]:
        """Every tag in the field. ``rssi``: "dbm" (signal strength in dBm, a float),
        "raw" (the reader's raw value, an int) or None (not asked for)."""
        if rssi not in ("dbm", "raw", None):
            raise ParameterError(ERROR_PARAMETER, f"rssi: 'dbm', 'raw' or None, not {rssi!r}")
        with _rssi_lock:
            if rssi is not None:
                check(self._command(bytes((0x20, 0x20, 0x00, 1 if rssi == "raw" else 0))), "signal strength mode")
            response = self._command(inventory_command(rssi is not None))
        return parse_inventory(response, rssi is not None, rssi == "raw")

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
        command = read_command(tag_address(epc), bank_number(bank), ptr, words, password_bytes(password))
        data = check(self._command(command), "read").data
        if len(data) != 2 * words:
            raise ReaderRefused(0x6403, operation=f"read ({len(data)} bytes for {words} words)")
        return data

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
        address = tag_address(epc)
        bank_no = bank_number(bank)
        pw = password_bytes(password)
        check(self._command(write_command(address, bank_no, ptr, raw, pw)), "write", counted=True)
        if verify:
            if bank_no == Bank.EPC:
                address = _after_epc_write(address, ptr, raw)
            back = self.read(_tag_of(address), bank_no, ptr, len(raw) // 2, pw)
            if back != raw:
                raise VerifyError(raw, back)

    def write_epc(self, old: TagRef, new: HexLike, password: Union[HexLike, int, None] = None) -> Tag:
        """Gives the tag ``old`` the EPC ``new`` (whole words): writes the PC word with the
        new length (keeping the PC's other bits) and the EPC, and reads them back under the
        new identity. Returns the tag as it now is."""
        address = tag_address(old)
        epc = hex_bytes(new, "new")
        if not epc or len(epc) % 2 or len(epc) > 62:
            raise ParameterError(ERROR_PARAMETER, f"new: 1 to 31 whole words, not {len(epc)} bytes")
        pc = (len(epc) // 2) << 11 | (int.from_bytes(address[:2], "big") & 0x07FF)
        self.write(_tag_of(address), Bank.EPC, 1, pc.to_bytes(2, "big") + epc, password, verify=True)
        return Tag(pc, epc)

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
        return self.write_epc(old, epc, password)

    def lock(
        self,
        tag: TagRef,
        /,
        password: Union[HexLike, int, None] = None,
        **actions: Union[LockAction, int, str],
    ) -> None:
        """Locks or unlocks memory of the tag: keyword ``kill``, ``access``, ``epc``, ``tid``,
        ``user`` with a LockAction (or its name). ``password``: the access password (none: 0)."""
        command = lock_command(tag_address(tag), password_bytes(password) or bytes(4), lock_payload(actions))
        check(self._command(command), "lock")

    def kill(self, epc: TagRef, password: Union[HexLike, int]) -> None:
        """Kills the tag for good with its (non-zero) kill password."""
        pw = password_bytes(password, "kill password")
        if pw is None:
            raise ParameterError(ERROR_PARAMETER, "kill password: a tag is killed only with its kill password, not None")
        if pw == bytes(4):
            raise ParameterError(ERROR_PARAMETER, "kill password: 00000000 kills no tag; give the tag's kill password")
        check(self._command(kill_command(tag_address(epc), pw)), "kill")


def _tag_of(pc_epc: bytes) -> Tag:
    """A tag known by its PC word and EPC bytes."""
    return Tag(int.from_bytes(pc_epc[:2], "big"), bytes(pc_epc[2:]))


def _after_epc_write(pc_epc: bytes, ptr: int, data: bytes) -> bytes:
    """The PC word and EPC a tag answers to once ``data`` went to word ``ptr`` of its EPC bank
    (the bank holds the stored CRC in word 0, the PC in word 1, the EPC from word 2)."""
    memory = bytearray(pc_epc)
    start = (ptr - 1) * 2
    for i, byte in enumerate(data):
        at = start + i
        if at < 0:
            continue
        if at >= len(memory):
            memory.extend(bytes(at - len(memory) + 1))
        memory[at] = byte
    return bytes(memory[: (memory[0] >> 3) * 2 + 2])
