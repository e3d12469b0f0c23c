"""The exceptions of the package.

Every failure of a library function is raised as an :class:`Error`: the
package never hands back a result code for the caller to check. The subclass
tells the kind of failure; the attributes tell the code, its name and the C
function that reported it. A status word of the reader comes with its name
and meaning from the library's own table of status words.
"""

from __future__ import annotations

from typing import Dict, List, NamedTuple, Optional, Tuple, Type

from . import _statuses

RESULT_OK = 0
ERR_FAILURE = -1000
ERR_OPEN_FAILED = -2000
ERR_DEVICE_BUSY = -2010
ERR_INVALID_HANDLE = -2020
ERR_INVALID_PARAMETER = -2030


class Error(Exception):
    """A library function failed.

    Attributes:
        code: the function's result, a signed 16-bit number (one of the
            ``ERR_`` codes, or a status word of the reader read as signed).
        name: the code's name (``"ERR_FAILURE"``), or ``"reader status
            0xFFFC"`` for a status word.
        function: the C function that returned the code (``"Zelvorn_Read"``).
        detail: what the package was doing, in words (``"read block 4"``).
    """

    def __init__(self, code: int, function: str, detail: str = "") -> None:
        self.code = code
        self.name = result_name(code)
        self.function = function
        self.detail = detail
        step = f"{detail}: " if detail else ""
        super().__init__(f"{function}: {step}{self.name} ({code}){self._explanation()}")

    def _explanation(self) -> str:
        return ""

    def __reduce__(self) -> Tuple[Type[Error], Tuple[int, str, str]]:
        # Exceptions pickle their message alone by default; these need their
        # fields back (multiprocessing sends exceptions between processes).
        return (type(self), (self.code, self.function, self.detail))


class Failure(Error):
    """ERR_FAILURE: a USB transfer failed, a reply was corrupt, a written value
    did not read back, or an ISO/IEC 14443-4 exchange broke off. Also raised
    when the library reported success for a read whose reply was not as long
    as the command's: it leaves its outputs unwritten then, and the package
    hands out nothing it did not get from the reader."""


class OpenFailed(Error):
    """ERR_OPEN_FAILED: no reader at that port, or it could not be set up (on
    the virtual library also: its scenario file could not be used; it says why
    on stderr)."""


class DeviceBusy(Error):
    """ERR_DEVICE_BUSY: the operating system refused access to the reader (in
    use elsewhere, or no permission). Also raised, without calling the
    library, for a port this process already holds open through another
    :class:`~zelvorn.Reader`, and for a second ISO/IEC 14443-4 session while
    one holds the library's block state."""


class InvalidHandle(Error):
    """ERR_INVALID_HANDLE: the reader is not open (closed, or never opened), or
    an ISO/IEC 14443-4 session was used after it ended."""


class InvalidParameter(Error, ValueError):
    """ERR_INVALID_PARAMETER: an argument outside the set the function takes.

    The package checks arguments before calling the library (a block number
    above 255 would otherwise be cut to 8 bits on the way), so this is raised
    with the name of the C function the call was meant for. It is also a
    :class:`ValueError`.
    """


class StatusWordInfo(NamedTuple):
    """What a status word of the reader or of its USB transport means.

    Attributes:
        word: the status word, 0..0xFFFF.
        name: its short name (``"authentication failed"``).
        meaning: what happened, in words (``"the card refused the key"``).
        card_gone: whether it says the card is not (or no longer) there to
            talk to.
    """

    word: int
    name: str
    meaning: str
    card_gone: bool


_STATUS_WORDS: Dict[int, StatusWordInfo] = {
    row[0]: StatusWordInfo(*row)
    for row in _statuses.READER_STATUSES + _statuses.TRANSPORT_STATUSES
}


def status_word(code: int) -> Optional[StatusWordInfo]:
    """The name and meaning of a status word of the reader or its USB
    transport, given as the library returns it (signed: ``-4``) or as sent
    (``0xFFFC``); None for a word the library does not know (a reader's
    firmware may answer others)."""
    return _STATUS_WORDS.get(code & 0xFFFF)


class ReaderStatus(Error):
    """The reader (or its USB transport) answered with a status word instead of
    carrying the command out: a refused key, a card out of the field, an
    access condition, ... The message gives the word's name and meaning.
    The common ones are raised as the subclasses :class:`AuthenticationFailed`,
    :class:`NoCard` and :class:`AccessDenied`.

    Attributes:
        status: the status word as the reader sent it, 0..0xFFFF (the
            ``code`` attribute holds the same 16 bits read as signed).
        status_name: the word's name (``"authentication failed"``), or None
            for a word the library does not know.
        meaning: what it means, in words, or None likewise.
        card_gone: whether it says the card is not (or no longer) there.
    """

    #: What to do about it, where the subclass knows.
    advice = ""

    def __init__(self, code: int, function: str, detail: str = "") -> None:
        self.status = code & 0xFFFF
        info = status_word(code)
        self.status_name: Optional[str] = info.name if info else None
        self.meaning: Optional[str] = info.meaning if info else None
        self.card_gone = bool(info and info.card_gone)
        super().__init__(code, function, detail)

    def _explanation(self) -> str:
        if info := status_word(self.status):
            advice = f"; {self.advice}" if self.advice else ""
            return f", {info.name}: {info.meaning}{advice}"
        return ": a status word the library does not know (see the reader's documentation)"


class AuthenticationFailed(ReaderStatus):
    """Reader status 0xFFFC, authentication failed: the card refused the key.
    A refused login leaves the card halted."""

    advice = "check the key and its type (A or B), and select the card again before the next login"


class NoCard(ReaderStatus):
    """A reader status saying that the card is not (or no longer) there to
    talk to: no card, not selected, field off, no answer (each status whose
    entry in the library's table marks the card gone)."""

    advice = "put the card on the reader (the field must be on) and select it again"


class AccessDenied(ReaderStatus):
    """Reader status 0xFFFA, access denied: the sector's access bits forbid
    the operation with the key logged in with."""

    advice = "log in with the key the sector's access bits give this operation to"


class LibraryNotFound(OSError):
    """No native library could be loaded.

    Attributes:
        tried: every place looked at, in order, each with the reason it was
            not used.
    """

    def __init__(self, tried: List[Tuple[str, str]]) -> None:
        self.tried = tried
        lines = "".join(f"\n  {place}: {reason}" for place, reason in tried)
        super().__init__(
            "the zelvorn library could not be loaded; looked at:" + lines + "\n"
            "Pass library=PATH, set ZELVORN_LIBRARY (ZELVORN_VIRTUAL_LIBRARY for the "
            "virtual library), or install the library (make install)."
        )


_NAMES: Dict[int, str] = {
    RESULT_OK: "RESULT_OK",
    ERR_FAILURE: "ERR_FAILURE",
    ERR_OPEN_FAILED: "ERR_OPEN_FAILED",
    ERR_DEVICE_BUSY: "ERR_DEVICE_BUSY",
    ERR_INVALID_HANDLE: "ERR_INVALID_HANDLE",
    ERR_INVALID_PARAMETER: "ERR_INVALID_PARAMETER",
}

_CLASSES: Dict[int, Type[Error]] = {
    ERR_FAILURE: Failure,
    ERR_OPEN_FAILED: OpenFailed,
    ERR_DEVICE_BUSY: DeviceBusy,
    ERR_INVALID_HANDLE: InvalidHandle,
    ERR_INVALID_PARAMETER: InvalidParameter,
}


def result_name(code: int) -> str:
    """The name of a result code: ``"ERR_FAILURE"`` for the library's own
    codes, ``"reader status 0xFFFC"`` for a status word of the reader."""
    name = _NAMES.get(code)
    if name is not None:
        return name
    return f"reader status 0x{code & 0xFFFF:04X}"


_STATUS_CLASSES: Dict[int, Type[ReaderStatus]] = {
    _statuses.AUTH_FAILED: AuthenticationFailed,
    _statuses.ACCESS_DENIED: AccessDenied,
}


def error_for(code: int, function: str, detail: str = "") -> Error:
    """The exception for a nonzero result of a library function: the class of
    a library code, or for a status word :class:`ReaderStatus`, or the
    subclass named for it (:class:`AuthenticationFailed`, :class:`NoCard`,
    :class:`AccessDenied`)."""
    cls = _CLASSES.get(code)
    if cls is not None:
        return cls(code, function, detail)
    status = _STATUS_CLASSES.get(code & 0xFFFF)
    if status is None:
        info = status_word(code)
        status = NoCard if info is not None and info.card_gone else ReaderStatus
    return status(code, function, detail)
