"""ISO/IEC 14443-4 sessions: APDUs to a processor card."""

from __future__ import annotations

import ctypes
import weakref
from dataclasses import dataclass
from types import TracebackType
from typing import Optional, Protocol, Type

from . import _native as native
from .errors import (
    ERR_FAILURE,
    ERR_INVALID_HANDLE,
    ERR_INVALID_PARAMETER,
    Failure,
    InvalidHandle,
    InvalidParameter,
    error_for,
)


class SessionReader(Protocol):
    """What a session needs of the reader its card is in (a
    :class:`zelvorn.Reader`): the port, the loaded library, and the handle,
    checked, for a call."""

    port: int
    library: native.Library

    def _h(self, function: str) -> int: ...

_ResponseBuffer = ctypes.c_uint8 * native.MAX_APDU


@dataclass(frozen=True)
class Response:
    """A response APDU.

    Attributes:
        data: the response data, without the status word.
        sw: the status word, e.g. 0x9000.
    """

    data: bytes
    sw: int

    @property
    def sw1(self) -> int:
        """The first status byte."""
        return self.sw >> 8

    @property
    def sw2(self) -> int:
        """The second status byte."""
        return self.sw & 0xFF


class IsoSession:
    """The ISO/IEC 14443-4 protocol with one card, from
    :meth:`Reader.connect_iso`.

    The session owns the library's one block state (block number and the
    card's frame size, kept once per process by the C library) until it ends:
    by :meth:`deselect`, by leaving its ``with`` block, or without a deselect
    when its reader selects or lists cards, switches the field, resets or
    closes. A session that has ended raises :class:`~zelvorn.InvalidHandle`.

    Attributes:
        reader: the reader the card is in.
        ats: the card's answer to select, as the reader delivered it.
        fsc: the card's frame size, from the FSCI in the ATS.
    """

    def __init__(self, reader: SessionReader, ats: bytes, fsc: int) -> None:
        """Takes the block state; :meth:`Reader.connect_iso` calls this."""
        self.reader = reader
        self.ats = ats
        self.fsc = fsc
        self._active = True
        # The library writes the whole response into one buffer and is not
        # told its size; it bounds a response at 32767 bytes.
        self._response = _ResponseBuffer()
        self._xch = reader.library.raw.PICC_Xch_APDU
        reader.library._iso_owner = weakref.ref(self)

    def __repr__(self) -> str:
        state = "active" if self._active else "ended"
        return f"<zelvorn.IsoSession {state} on reader port {self.reader.port}>"

    def __enter__(self) -> IsoSession:
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        if self._active:
            self.deselect()

    @property
    def active(self) -> bool:
        """Whether the session still owns the block state."""
        return self._active

    def _end(self) -> None:
        if self._active:
            self._active = False
            if self.reader.library._iso_session() is self:
                self.reader.library._iso_owner = None

    def _check_active(self, function: str) -> int:
        if not self._active:
            raise InvalidHandle(ERR_INVALID_HANDLE, function,
                                "the ISO/IEC 14443-4 session has ended; select the card and "
                                "connect again")
        return self.reader._h(function)

    def transmit(self, apdu: bytes) -> Response:
        """Sends a command APDU (1..32767 bytes; long ones are chained) and
        returns the card's response. A status word other than 9000 is the
        card's answer, not an exception: look at ``Response.sw``.

        Raises:
            Failure: the block protocol broke off (the session stays; the
                block number has moved on with every block sent).
        """
        function = "PICC_Xch_APDU"
        handle = self._check_active(function)
        command = bytes(apdu)
        n = len(command)
        if not 0 < n <= native.MAX_APDU:
            raise InvalidParameter(ERR_INVALID_PARAMETER, function,
                                   f"APDU of {n} bytes: 1..{native.MAX_APDU}")
        remaining = ctypes.c_int16(n)
        received = ctypes.c_int16(0)
        result = self._xch(handle, 0, ctypes.byref(remaining), command, ctypes.byref(received),
                           self._response)
        if result:
            raise error_for(result, function, f"exchange an APDU of {n} bytes")
        m = min(max(received.value, 0), native.MAX_APDU)
        if m < 2:
            raise Failure(ERR_FAILURE, function, f"the card answered {m} bytes, no status word")
        raw = memoryview(self._response)[:m].tobytes()
        return Response(raw[:-2], (raw[-2] << 8) | raw[-1])

    def deselect(self) -> None:
        """Sends S(DESELECT) and ends the session (it ends even when the
        deselect fails)."""
        function = "PICC_Deselect"
        handle = self._check_active(function)
        self._end()
        result = self.reader.library.raw.PICC_Deselect(handle, 0)
        if result:
            raise error_for(result, function, "deselect the card")
