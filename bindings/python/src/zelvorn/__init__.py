"""The Zelvorn contactless reader from Python.

A pure-Python package over the native library (``libzelvorn.so.1`` /
``zelvorn.dll``, or the virtual library with emulated cards)::

    import zelvorn

    with zelvorn.open(port=0) as reader:
        card = reader.select()
        reader.login(0, zelvorn.TRANSPORT_KEY)
        print(card.serial.hex(), reader.read(1).hex())

Every failure is raised as a :class:`zelvorn.Error` (see ``zelvorn.errors``);
no function returns a result code to check.
"""

from __future__ import annotations

from typing import List, Optional

from ._native import Library, PathLike, load
from .errors import (
    AccessDenied,
    AuthenticationFailed,
    DeviceBusy,
    Error,
    Failure,
    InvalidHandle,
    InvalidParameter,
    LibraryNotFound,
    NoCard,
    OpenFailed,
    ReaderStatus,
    StatusWordInfo,
    result_name,
    status_word,
)
from ._geometry import blocks_in, first_block, sector_of
from ._kinds import CardKind
from .iso import IsoSession, Response
from .reader import (
    TRANSPORT_KEY,
    Atqb,
    Card,
    Dump,
    Reader,
    Status,
)
from .ultralight import TagRefused, Ultralight

__version__ = "1.5.2"

__all__ = [
    "AccessDenied", "Atqb", "AuthenticationFailed", "Card", "CardKind", "DeviceBusy", "Dump",
    "Error", "Failure", "InvalidHandle", "InvalidParameter", "IsoSession", "Library",
    "LibraryNotFound", "NoCard", "OpenFailed", "Reader", "ReaderStatus", "Response", "Status",
    "StatusWordInfo", "TRANSPORT_KEY", "TagRefused", "Ultralight", "blocks_in", "first_block", "load", "open", "open_virtual",
    "readers", "result_name", "sector_of", "status_word",
]


def open(
    port: int = 0,
    *,
    library: Optional[PathLike] = None,
    virtual: bool = False,
    scenario: Optional[PathLike] = None,
) -> Reader:
    """Opens the reader at ``port`` (0..19, in the system's device order) and
    resets it.

    Args:
        port: which reader.
        library: the native library to use (see :func:`load` for where it is
            looked for otherwise).
        virtual: use the virtual library and its emulated reader.
        scenario: a scenario file for the virtual reader; implies
            ``virtual=True``.

    Raises:
        OpenFailed: no reader at that port.
        DeviceBusy: the system refused access, or this process has the port
            open already.
        LibraryNotFound: no native library could be loaded.
    """
    lib = load(library, virtual=virtual or scenario is not None, scenario=scenario)
    return Reader(lib, port)


def open_virtual(
    port: int = 0,
    *,
    scenario: Optional[PathLike] = None,
    library: Optional[PathLike] = None,
) -> Reader:
    """Opens the virtual reader, on the default scenario or on ``scenario``
    (a file in the format of docs/virtual-reader.md). The virtual reader
    reads its scenario once per process, when it is first opened."""
    return open(port, library=library, virtual=True, scenario=scenario)


def readers(
    *,
    library: Optional[PathLike] = None,
    virtual: bool = False,
    scenario: Optional[PathLike] = None,
) -> List[int]:
    """The ports that open: each is opened (which resets the reader) and
    closed again; ports this process holds open are listed without being
    touched."""
    lib = load(library, virtual=virtual or scenario is not None, scenario=scenario)
    found: List[int] = []
    for port in range(20):
        if lib._holder(port) is not None:
            found.append(port)
            continue
        try:
            Reader(lib, port).close()
        except (OpenFailed, DeviceBusy):
            continue
        found.append(port)
    return found
