"""zelquar: the Zelquar USB UHF RFID reader from Python, over the installed
client library (libzelquar.so) and driver.

    import zelquar
    with zelquar.Reader() as reader:          # port 0x0100: COM number 1, unit 0
        for tag in reader.inventory():
            print(tag.epc_hex, tag.rssi)
        data = reader.read(tag, zelquar.Bank.USER, 0, 2)

``zelquar.readers()`` lists the readers present; ``Reader(serial=...)``
opens one by its serial number. Every failed driver call raises a
DriverError subclass with the driver's result code; a command the reader
refused raises ReaderRefused with its status word. Simulator starts a simulated reader to run all of it without
hardware.
"""

from .commands import Bank, Identity, LockAction, Response, Tag, lock_payload
from .errors import (
    DeviceError,
    DriverError,
    ExchangeError,
    FileMissingError,
    InternalError,
    LibraryNotFoundError,
    NotAdminError,
    NotOpenError,
    ParameterError,
    PortInUseError,
    ReaderRefused,
    VerifyError,
)
from .reader import Gpio, Reader, ReaderDescription, ReaderInfo, TagEvent, driver_version, readers
from .simulator import Simulator, SimulatorError

__all__ = [
    "Bank",
    "DeviceError",
    "DriverError",
    "ExchangeError",
    "FileMissingError",
    "Gpio",
    "Identity",
    "InternalError",
    "LibraryNotFoundError",
    "LockAction",
    "NotAdminError",
    "NotOpenError",
    "ParameterError",
    "PortInUseError",
    "Reader",
    "ReaderDescription",
    "ReaderInfo",
    "ReaderRefused",
    "Response",
    "Simulator",
    "SimulatorError",
    "Tag",
    "TagEvent",
    "VerifyError",
    "driver_version",
    "lock_payload",
    "readers",
]
