"""MIFARE Ultralight, Ultralight EV1 and NTAG21x tags (NFC Forum Type 2): 4-byte
pages read and written with the tags' own commands, through the reader's
telegrams."""

from __future__ import annotations

from typing import Any, Optional, Protocol

from .errors import ERR_FAILURE, Failure, ReaderStatus


class Reader(Protocol):
    """What a tag needs of its reader (a :class:`zelvorn.Reader`): selecting
    the tag and sending it telegrams."""

    def select(self, serial: Optional[bytes] = None) -> Any: ...

    def telegram(self, data: bytes, option: int = 0x0C) -> bytes: ...

# The option byte the ISO/IEC 14443-4 path sends: standard frame, the CRC
# appended to the frame and checked on the answer.
OPTION = 0x0F
PAGE_SIZE = 4
# Every Type 2 tag reports card type 00 and has a 7-byte serial number.
CARD_TYPE = 0x00
SERIAL_SIZE = 7
# The most pages one telegram answer carries (117 bytes).
PAGES_PER_FAST_READ = 29

_GET_VERSION, _READ, _FAST_READ, _WRITE, _PWD_AUTH = 0x60, 0x30, 0x3A, 0xA2, 0x1B
_ACK = 0x0A


def is_type2(card_type: int, serial: bytes) -> bool:
    """Whether a card the reader lists is a Type 2 tag."""
    return card_type == CARD_TYPE and len(serial) == SERIAL_SIZE


class TagRefused(Failure):
    """The tag answered a NAK (or the reader reported it silent): a page
    beyond its memory, locked, or behind its password, or a wrong password.
    The tag is selected again before this is raised."""


class Ultralight:
    """A Type 2 tag in the reader's field, selected by its serial number.

    Made by :meth:`zelvorn.Reader.ultralight`. A NAK sends the tag back to
    idle; every method selects it again before raising :class:`TagRefused`,
    and repeats the password given to :meth:`authenticate`.
    """

    def __init__(self, reader: Reader, serial: bytes) -> None:
        self._reader = reader
        self.serial = serial
        self._password: Optional[bytes] = None
        reader.select(serial)
        self._version = self._ask(bytes([_GET_VERSION]), 8)
        if self._version is None:
            self._recover()

    @property
    def version(self) -> Optional[bytes]:
        """The 8 bytes of GET_VERSION, or None for a tag that does not know
        the command (the first Ultralight)."""
        return self._version

    def _ask(self, frame: bytes, length: int) -> Optional[bytes]:
        try:
            answer = self._reader.telegram(frame, OPTION)
        except ReaderStatus:
            return None
        return answer if len(answer) == length else None

    def _recover(self) -> None:
        self._reader.select(self.serial)
        if self._password is not None:
            if self._ask(bytes([_PWD_AUTH]) + self._password, 2) is None:
                raise TagRefused(ERR_FAILURE, "Zelvorn_TxDataTelegram",
                                 "the password was refused after the tag was selected again")

    def _refused(self, what: str) -> TagRefused:
        self._recover()
        return TagRefused(ERR_FAILURE, "Zelvorn_TxDataTelegram", f"{what}: the tag refused it")

    def read(self, page: int, count: int = 1) -> bytes:
        """``count`` pages from ``page`` on: FAST_READ where the tag has it,
        as many pages a telegram as its answer carries; else READ."""
        if not 0 <= page <= 255 or count < 1 or page + count > 256:
            raise ValueError(f"pages {page}..{page + count - 1}: pages are numbered 0..255")
        out = b""
        while count > 0:
            if self._version is not None:
                n = min(count, PAGES_PER_FAST_READ)
                data = self._ask(bytes([_FAST_READ, page, page + n - 1]), n * PAGE_SIZE)
            else:
                n = min(count, 4)
                data = self._ask(bytes([_READ, page]), 4 * PAGE_SIZE)
            if data is None:
                raise self._refused(f"read pages {page} to {page + n - 1}")
            out += data[:n * PAGE_SIZE]
            page += n
            count -= n
        return out

    def write(self, page: int, data: bytes) -> None:
        """Writes one page of 4 bytes with WRITE. Page 2's lock bytes and
        page 3 take bits only, for good."""
        if len(data) != PAGE_SIZE or not 0 <= page <= 255:
            raise ValueError("a page number 0..255 and 4 bytes")
        try:
            answer = self._reader.telegram(bytes([_WRITE, page]) + bytes(data), OPTION)
        except ReaderStatus:
            answer = b""
        # The 4-bit ACK, as one byte: its low bits are 0xA.
        if len(answer) != 1 or answer[0] & 0x0F != _ACK:
            raise self._refused(f"write page {page}")

    def authenticate(self, password: bytes, pack: Optional[bytes] = None) -> bytes:
        """PWD_AUTH with a 4-byte password; returns the tag's PACK. With
        ``pack``, a different answer raises :class:`TagRefused` (another tag
        than the password was set on)."""
        if len(password) != 4 or (pack is not None and len(pack) != 2):
            raise ValueError("a 4-byte password and a 2-byte PACK")
        answer = self._ask(bytes([_PWD_AUTH]) + bytes(password), 2)
        if answer is None:
            raise self._refused("authenticate with the password")
        if pack is not None and answer != bytes(pack):
            raise TagRefused(ERR_FAILURE, "Zelvorn_TxDataTelegram",
                             f"PACK {answer.hex().upper()}, not {bytes(pack).hex().upper()}")
        self._password = bytes(password)
        return answer
