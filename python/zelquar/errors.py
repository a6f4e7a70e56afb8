"""Exceptions of the zelquar package.

Every failure of a driver call is a :class:`DriverError` carrying the
driver's result code (``code``) and a message. A command that the reader
executed but refused is a :class:`ReaderRefused`, which carries the status
word the reader answered with.
"""

from __future__ import annotations

from typing import Optional, Sequence

# The driver's results (see ZELQUAR_Drv.h, enum RFRW_Result).
SUCCESS = 0
ERROR_INTERNAL = -1
ERROR_DEVICE = -2
ERROR_PARAMETER = -3
ERROR_EXCHANGE = -4
ERROR_FILE_MISSING = -5
ERROR_NOT_ADMIN = -10
ERROR_NOT_OPEN = -1001
ERROR_OPEN_ELSEWHERE = -1002

# The client library's results (zelquar.h, enum zq_result).
OK, REFUSED, TAG_NOT_FOUND, BAD_ARGUMENT, NO_DRIVER, NO_READER, DRIVER_ERROR, BAD_RESPONSE, VERIFY_FAILED, \
    NO_MEMORY, PORT_IN_USE, NOT_THROUGH_AGENT = range(12)

# Gen2 tag error codes, as a tag reports them in an error reply.
TAG_ERRORS = {
    0x00: "other error",
    0x03: "memory overrun",
    0x04: "memory locked",
    0x0B: "insufficient power",
    0x0F: "unnamed error",
}


class DriverError(Exception):
    """A driver call failed; ``code`` is the driver's (negative) result."""

    def __init__(self, code: int, message: str) -> None:
        super().__init__(f"{message} (driver result {code})")
        self.code = code
        self.message = message


class InternalError(DriverError):
    """The driver could not do its own part (result -1); retry, or reopen the port."""


class DeviceError(DriverError):
    """The reader device is not attached, or another process holds it (result -2)."""


class ParameterError(DriverError, ValueError):
    """A parameter was wrong and nothing was sent (result -3).

    Also raised, before any driver call, for arguments this package can tell
    are wrong (an EPC that is not whole words of hex, a word count of 0).
    """


class ExchangeError(DriverError):
    """The reader did not answer, or kept answering wrongly (result -4)."""


class FileMissingError(DriverError):
    """A file the driver needs beside itself is missing (result -5)."""


class NotAdminError(DriverError):
    """The process may not open the port without administrator rights (result -10)."""


class NotOpenError(DriverError):
    """The port is not open (result -1001)."""


class PortInUseError(DriverError):
    """The port is already open by another process that is still running (result -1002)."""


class LibraryNotFoundError(DriverError, OSError):
    """libZELQUAR_Drv.so could not be loaded; ``tried`` lists the paths tried."""

    def __init__(self, tried: Sequence[str], reasons: Sequence[str]) -> None:
        lines = "; ".join(f"{p}: {r}" for p, r in zip(tried, reasons)) or "no path to try"
        DriverError.__init__(
            self,
            ERROR_FILE_MISSING,
            "the driver library could not be loaded (give library=, or set ZELQUAR_LIBRARY); tried " + lines,
        )
        self.tried = list(tried)


class ReaderRefused(DriverError):
    """The reader executed the command and answered with a status word other than 90 00.

    ``status_word`` is that word (for example 0x6404). ``reader_status`` is the
    status byte in front of it when the response has one; for 64 04 that is
    the tag's own Gen2 error code, also given as ``tag_error``.
    ``words_written`` is set by writes that stopped part-way.
    """

    def __init__(
        self,
        status_word: int,
        reader_status: Optional[int] = None,
        words_written: Optional[int] = None,
        operation: str = "command",
    ) -> None:
        self.status_word = status_word
        self.reader_status = reader_status
        self.tag_error = reader_status if status_word == 0x6404 else None
        self.words_written = words_written
        text = f"{operation} refused by the reader: status word {status_word >> 8:02X} {status_word & 0xFF:02X}"
        if self.tag_error is not None:
            text += f", tag error 0x{self.tag_error:02X} ({TAG_ERRORS.get(self.tag_error, 'unknown')})"
        elif reader_status is not None:
            text += f", reader status 0x{reader_status:02X}"
        if words_written is not None:
            text += f", {words_written} word(s) written"
        super().__init__(SUCCESS, text)


class VerifyError(DriverError):
    """A write with ``verify=True`` read back other data than it wrote."""

    def __init__(self, written: bytes, read: bytes) -> None:
        super().__init__(SUCCESS, f"write verification failed: wrote {written.hex().upper()}, read back {read.hex().upper()}")
        self.written = written
        self.read = read


_BY_CODE = {
    ERROR_INTERNAL: (InternalError, "internal failure of the driver"),
    ERROR_DEVICE: (DeviceError, "the reader device is not attached or is held by another process"),
    ERROR_PARAMETER: (ParameterError, "bad parameter"),
    ERROR_EXCHANGE: (ExchangeError, "the exchange with the reader failed"),
    ERROR_FILE_MISSING: (FileMissingError, "a file the driver needs beside itself is missing"),
    ERROR_NOT_ADMIN: (NotAdminError, "administrator rights are needed"),
    ERROR_NOT_OPEN: (NotOpenError, "the port is not open"),
    ERROR_OPEN_ELSEWHERE: (PortInUseError, "the port is already open by another process"),
}


def error_for(code: int, what: str) -> DriverError:
    """The exception for a failed driver call (``what`` names the call)."""
    cls, text = _BY_CODE.get(code, (DriverError, "driver failure"))
    return cls(code, f"{what}: {text}")


def error_for_outcome(outcome, what: str, sentence: str = "") -> Exception:
    """The exception for a client library call that did not give OK: ``outcome``
    its zq_outcome, ``what`` the operation, ``sentence`` the library's own words.

    A refusal, a tag not found and a response of the wrong form are
    ReaderRefused with the reader's status word (64 02 for a tag not in the
    field, 64 03 for a response without one); a failed driver call is the
    DriverError of its result; an argument the library refused is a
    ParameterError."""
    result = outcome.result
    if result in (REFUSED, TAG_NOT_FOUND, BAD_RESPONSE):
        sw = outcome.status_word or (0x6402 if result == TAG_NOT_FOUND else 0x6403)
        status = outcome.reader_status if outcome.reader_status >= 0 else None
        written = outcome.words_written if outcome.words_written >= 0 else None
        return ReaderRefused(sw, status, written, what)
    if outcome.driver_result:
        return error_for(outcome.driver_result, what)
    if result == VERIFY_FAILED:
        return VerifyError(b"", b"")
    if result == NO_MEMORY:
        return MemoryError(f"{what}: {sentence}")
    code, cls = {
        BAD_ARGUMENT: (ERROR_PARAMETER, ParameterError),
        NO_READER: (ERROR_DEVICE, DeviceError),
        PORT_IN_USE: (ERROR_OPEN_ELSEWHERE, PortInUseError),
        NOT_THROUGH_AGENT: (ERROR_OPEN_ELSEWHERE, PortInUseError),
        NO_DRIVER: (ERROR_FILE_MISSING, FileMissingError),
    }.get(result, (ERROR_INTERNAL, DriverError))
    return cls(code, f"{what}: {sentence}" if sentence else what)
