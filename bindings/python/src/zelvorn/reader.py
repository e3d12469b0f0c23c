"""An open reader and what it hands back: cards, status reports, dumps."""

from __future__ import annotations

import ctypes
import weakref
from dataclasses import dataclass, field as dataclass_field
from types import TracebackType
from typing import TYPE_CHECKING, Dict, Iterable, List, Literal, Optional, Sequence, Type

from . import _native as native
from . import ndef, ndef_tags
from .errors import (
    ERR_DEVICE_BUSY,
    ERR_FAILURE,
    ERR_INVALID_HANDLE,
    ERR_INVALID_PARAMETER,
    DeviceBusy,
    Failure,
    InvalidHandle,
    InvalidParameter,
    NoCard,
    ReaderStatus,
    error_for,
)
from ._geometry import blocks_in, first_block, sector_of
from ._kinds import CardKind
from .iso import IsoSession

if TYPE_CHECKING:
    from .ultralight import Ultralight

#: ``"A"`` or ``"B"``; ``"F"`` for the reader's own key F only.
KeyType = Literal["A", "B", "F"]

#: The key of a card fresh from the factory (key A and key B).
TRANSPORT_KEY = b"\xff" * 6

_Block = ctypes.c_uint8 * 16
_Serial = ctypes.c_uint8 * native.SERIAL_FIELD
_TagTypes = ctypes.c_uint8 * native.MAX_LISTED_TAGS
_TagSerials = ctypes.c_uint8 * (native.SERIAL_FIELD * native.MAX_LISTED_TAGS)
_Telegram = ctypes.c_uint8 * native.MAX_TELEGRAM_RESPONSE
_Ats = ctypes.c_uint8 * native.MAX_ATS
_StatusBlock = ctypes.c_uint8 * native.STATUS_BLOCK
_Atqb = ctypes.c_uint8 * 7
_AskSector = ctypes.c_uint8 * 2
_AskMulti = ctypes.c_uint8 * 8
_Direct = ctypes.c_uint8 * native.MAX_DIRECT_RESPONSE

# The reader's command for a type B card's request; its answer is the whole
# ATQB (0x50, PUPI, application data, protocol info), of which
# Zelvorn_ReadATQB hands back only the last seven bytes.
_ATQB_REQUEST = bytes((0x21, 0x00))

_INT32 = (-(2**31), 2**31 - 1)

# The library's functions succeed without writing their outputs when the
# reader's reply is not as long as the command's (their documented contract).
# Outputs start filled with one pattern; where they still hold it after a
# success the read is made once more over another (a card's data may equal
# the first, never both), and outputs holding their pattern both times were
# never written.
_PATTERNS = (0xA5, 0x5A)
_BLOCK_FILL = bytes([_PATTERNS[0]]) * 16
_INCOMPLETE = ("the reader reported success, but its reply was not as long as the "
               "command's, so nothing of it is used")


def _fill(outputs: Iterable[ctypes._CData], pattern: int) -> None:
    for out in outputs:
        ctypes.memset(ctypes.addressof(out), pattern, ctypes.sizeof(out))


def _holds(outputs: Iterable[ctypes._CData], pattern: int) -> bool:
    return all(ctypes.string_at(ctypes.addressof(out), ctypes.sizeof(out))
               == bytes([pattern]) * ctypes.sizeof(out) for out in outputs)


# The type bytes of a type B card and an ASK ticket, which the reader lists
# apart from the type A cards (the virtual reader's status report names them).
_TYPE_B = 0xB0
_ASK_TICKET = 0xA5

_KINDS: Dict[int, CardKind] = {
    0x08: CardKind.MIFARE_CLASSIC_1K,
    0x18: CardKind.MIFARE_CLASSIC_4K,
    0x20: CardKind.ISO14443_4,
    0x00: CardKind.TYPE2,
    _TYPE_B: CardKind.TYPE_B,
    _ASK_TICKET: CardKind.ASK_TICKET,
}

_SECTOR_COUNTS: Dict[CardKind, int] = {
    CardKind.MIFARE_CLASSIC_1K: 16,
    CardKind.MIFARE_CLASSIC_4K: 40,
}


@dataclass(frozen=True)
class Card:
    """A card in the reader's field.

    Attributes:
        kind: what the type byte says the card is.
        type: the card type byte as the reader reports it; for a type B card
            and an ASK ticket, which the reader finds apart from the others,
            0xB0 and 0xA5.
        serial: the serial number, 4, 7 or 10 bytes; of a type B card its
            PUPI (empty when the reader's answer leaves it out), of an ASK
            ticket sectors 0 and 1.
        application_data: a type B card's, from its ATQB (else empty).
        protocol_info: a type B card's, from its ATQB (else empty).
    """

    kind: CardKind
    type: int
    serial: bytes
    application_data: bytes = b""
    protocol_info: bytes = b""

    @classmethod
    def _from(cls, card_type: int, length: int, field: ctypes.Array[ctypes.c_uint8],
              offset: int = 0) -> Card:
        n = min(length, native.SERIAL_FIELD)
        serial = bytes(field[offset:offset + n])
        return cls(_KINDS.get(card_type, CardKind.UNKNOWN), card_type, serial)


@dataclass(frozen=True)
class Status:
    """The reader's status report.

    What the fields mean is the reader's firmware's business; the virtual
    reader's are in docs/virtual-reader.md (status_a the RF field, status_b
    its serial number, status_c the cards in the field, status_d the selected
    card's type, status_e the user port, status_f the commands carried out).

    Attributes:
        block: the 20-byte status block as the reader sends it.
        status_a ... status_f: the status record, wide fields as numbers.
    """

    block: bytes
    status_a: int
    status_b: int
    status_c: int
    status_d: int
    status_e: int
    status_f: int


@dataclass(frozen=True)
class Atqb:
    """What :meth:`Reader.atqb` hands back of a type B card's ATQB.

    Attributes:
        application_data: the 4 bytes of application data.
        protocol_info: the 3 bytes of protocol info.
    """

    application_data: bytes
    protocol_info: bytes


@dataclass(frozen=True)
class Dump:
    """A MIFARE Classic card read sector by sector (:meth:`Reader.dump`).

    Attributes:
        card: the card that was read.
        blocks: every block read, by block number.
        keys: for each sector that a key opened, that key.
        key_type: ``"A"`` or ``"B"``, the type the keys were tried as.
        refused: every block not read, by block number, with the reader's
            refusal (the last key's, for a sector no key opened).
    """

    card: Card
    blocks: Dict[int, bytes]
    keys: Dict[int, bytes]
    key_type: str
    refused: Dict[int, ReaderStatus] = dataclass_field(default_factory=dict)

    @property
    def complete(self) -> bool:
        """Whether every block of the card was read."""
        return not self.refused


def _byte(value: int, what: str, function: str) -> int:
    if not 0 <= value <= 0xFF:
        raise InvalidParameter(ERR_INVALID_PARAMETER, function, f"{what} {value}: not 0..255")
    return value


def _int32(value: int, what: str, function: str) -> int:
    if not _INT32[0] <= value <= _INT32[1]:
        raise InvalidParameter(
            ERR_INVALID_PARAMETER, function, f"{what} {value}: not a signed 32-bit number"
        )
    return value


def _exact(data: bytes, sizes: Iterable[int], what: str, function: str) -> bytes:
    data = bytes(data)
    allowed = tuple(sizes)
    if len(data) not in allowed:
        sizes_text = " or ".join(str(s) for s in allowed)
        raise InvalidParameter(
            ERR_INVALID_PARAMETER, function, f"{what}: {len(data)} bytes, not {sizes_text}"
        )
    return data


def _close_dropped(library: native.Library, port: int, handle: int) -> None:
    # A reader collected without close() gives its port back, as a file does.
    library._open_ports.pop(port, None)
    library.raw.Zelvorn_Close(handle)


class Reader:
    """An open reader. Get one from :func:`zelvorn.open`; use it in a ``with``
    block or call :meth:`close`.

    Every method raises an :class:`~zelvorn.Error` when the library reports a
    failure, and :class:`~zelvorn.InvalidHandle` once the reader is closed.
    Like the library, a reader is for one thread at a time. A reader dropped
    without :meth:`close` is closed when it is garbage-collected.

    Attributes:
        port: the port it was opened on (0..19), which is its handle.
        library: the loaded library it runs on.
    """

    def __init__(self, library: native.Library, port: int) -> None:
        """Opens port ``port`` of ``library``; :func:`zelvorn.open` is the way
        to call this."""
        self.library = library
        self.port = port
        self._handle: Optional[int] = None
        self._iso: Optional[IsoSession] = None
        fn = library.raw
        # Bound once: attribute look-ups on the CDLL cost more than the call.
        self._read = fn.Zelvorn_Read
        if not 0 <= port < native.MAX_READERS:
            raise InvalidParameter(
                ERR_INVALID_PARAMETER, "Zelvorn_Open",
                f"port {port}: not 0..{native.MAX_READERS - 1}",
            )
        holder = library._holder(port)
        if holder is not None:
            raise DeviceBusy(
                ERR_DEVICE_BUSY, "Zelvorn_Open",
                f"port {port} is already open in this process ({holder!r}); close that one first",
            )
        library._note_open()
        result = fn.Zelvorn_Open(port)
        if result < 0:
            raise error_for(result, "Zelvorn_Open", f"open port {port}")
        self._handle = result
        library._open_ports[port] = weakref.ref(self)
        self._finalizer = weakref.finalize(self, _close_dropped, library, port, result)

    def __repr__(self) -> str:
        state = "closed" if self._handle is None else "open"
        return f"<zelvorn.Reader port {self.port} {state} on {self.library.path}>"

    def __enter__(self) -> Reader:
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.close()

    @property
    def closed(self) -> bool:
        """Whether :meth:`close` has been called."""
        return self._handle is None

    def close(self) -> None:
        """Closes the reader (nothing is sent to it; the RF field stays as it
        is). Ends its ISO/IEC 14443-4 session without a deselect. Closing a
        closed reader does nothing."""
        handle = self._handle
        if handle is None:
            return
        self._end_card_session()
        self._handle = None
        self._finalizer.detach()
        self.library._open_ports.pop(self.port, None)
        result = self.library.raw.Zelvorn_Close(handle)
        if result:
            raise error_for(result, "Zelvorn_Close", f"close port {self.port}")

    def _h(self, function: str) -> int:
        handle = self._handle
        if handle is None:
            raise InvalidHandle(ERR_INVALID_HANDLE, function,
                                f"reader on port {self.port} is closed")
        return handle

    def _call(self, function: str, detail: str, *args: object) -> None:
        result = getattr(self.library.raw, function)(self._h(function), *args)
        if result:
            raise error_for(result, function, detail)

    def _read_into(self, function: str, detail: str, outputs: List[ctypes._CData],
                   *args: object) -> None:
        """A call that changes nothing and whose outputs must have been
        written (see _PATTERNS); it may be made twice."""
        for pattern in _PATTERNS:
            _fill(outputs, pattern)
            self._call(function, detail, *args)
            if not _holds(outputs, pattern):
                return
        raise Failure(ERR_FAILURE, function, f"{detail}: {_INCOMPLETE}")

    def _end_card_session(self) -> None:
        if self._iso is not None:
            self._iso._end()
            self._iso = None

    @property
    def version(self) -> str:
        """The library's version text, e.g. ``"Zelvorn DLL 1.5.2.0"``."""
        return self.library.version

    # ---- Cards in the field -------------------------------------------------

    def cards(self) -> List[Card]:
        """Lists the cards in the field as ``zelvorn list`` does: the type A
        cards of the reader's tag list (at most 9), then a type B card and an
        ASK ticket when one answers. Leaves no card selected."""
        self._end_card_session()
        count = ctypes.c_uint8()
        types = _TagTypes()
        lengths = _TagTypes()
        serials = _TagSerials()
        self._read_into("Zelvorn_ListTags", "list the cards", [count], ctypes.byref(count), types,
                        lengths, serials)
        n = min(count.value, native.MAX_LISTED_TAGS)
        found = [Card._from(types[i], lengths[i], serials, native.SERIAL_FIELD * i)
                 for i in range(n)]
        # A card that does not answer is not there; the library's own
        # failures (a broken link to the reader) are raised.
        type_b = self._type_b_card()
        if type_b is not None:
            found.append(type_b)
        try:
            ticket = self.ask_read_multi(0)
        except ReaderStatus:
            return found
        found.append(Card(CardKind.ASK_TICKET, _ASK_TICKET, ticket[:4]))
        return found

    def _type_b_card(self) -> Optional[Card]:
        function = "Zelvorn_DirectSend"
        detail = "ask for a type B card"
        length = ctypes.c_uint8()
        answer = _Direct()
        # As _read_into, for the bytes the reader says it delivered.
        for pattern in _PATTERNS:
            _fill([answer], pattern)
            result = self.library.raw.Zelvorn_DirectSend(
                self._h(function), len(_ATQB_REQUEST), _ATQB_REQUEST, ctypes.byref(length), answer)
            if result:
                error = error_for(result, function, detail)
                if isinstance(error, ReaderStatus):
                    return None
                raise error
            n = min(length.value, native.MAX_DIRECT_RESPONSE)
            if bytes(answer[:n]) != bytes([pattern]) * n or n == 0:
                break
        else:
            raise Failure(ERR_FAILURE, function, f"{detail}: {_INCOMPLETE}")
        raw = bytes(answer[:n])
        if n >= 12 and raw[0] == 0x50:
            return Card(CardKind.TYPE_B, _TYPE_B, raw[1:5], raw[5:9], raw[9:12])
        # Not the ATQB layout: what the library makes of it, without a PUPI.
        try:
            atqb = self.atqb()
        except ReaderStatus:
            return None
        return Card(CardKind.TYPE_B, _TYPE_B, b"", atqb.application_data, atqb.protocol_info)

    def select(self, serial: Optional[bytes] = None) -> Card:
        """Selects a card: the one with this serial number (4, 7 or 10 bytes),
        or the first card in the field. Ends the previous card's session.

        Raises:
            ReaderStatus: no such card answered.
        """
        self._end_card_session()
        card_type = ctypes.c_uint8()
        length = ctypes.c_uint8()
        field = _Serial()
        if serial is None:
            function = "Zelvorn_Select"
            self._read_into(function, "select a card", [length], ctypes.byref(card_type),
                            ctypes.byref(length), field)
        else:
            function = "Zelvorn_MultiTagSelect"
            target = _exact(serial, (4, 7, 10), "serial number", function)
            self._read_into(function, f"select card {target.hex().upper()}", [length],
                            len(target), target, ctypes.byref(card_type), ctypes.byref(length),
                            field)
        return Card._from(card_type.value, length.value, field)

    # ---- MIFARE Classic -------------------------------------------------------

    def login(self, sector: int, key: Optional[bytes] = None, key_type: KeyType = "A", *,
              stored: Optional[int] = None, reader_key: bool = False) -> None:
        """Authenticates to a sector of the selected card, with exactly one of:

        - ``key``: a 6-byte key, used as key A or key B (``key_type``);
        - ``stored``: the number of a key stored in the reader
          (:meth:`store_key`), used as key A or B;
        - ``reader_key=True``: the reader's own key A, B or F.

        A refused key leaves the card halted: select it again before the next
        try (:meth:`dump` does).

        Raises:
            ReaderStatus: the card refused the key.
        """
        function = "Zelvorn_Login"
        _byte(sector, "sector", function)
        given = (key is not None) + (stored is not None) + bool(reader_key)
        if given != 1:
            raise InvalidParameter(ERR_INVALID_PARAMETER, function,
                                   "give exactly one of key, stored and reader_key")
        if key_type not in ("A", "B", "F") or (key_type == "F" and not reader_key):
            raise InvalidParameter(ERR_INVALID_PARAMETER, function,
                                   f"key type {key_type!r}: not 'A' or 'B' "
                                   "('F' for reader_key only)")
        number = 0
        data: Optional[bytes] = None
        if key is not None:
            code = native.KEYTYPE_A if key_type == "A" else native.KEYTYPE_B
            data = _exact(key, (6,), "key", function)
            how = f"key {key_type} {data.hex().upper()}"
        elif stored is not None:
            code = native.KEYTYPE_STORED_A if key_type == "A" else native.KEYTYPE_STORED_B
            number = _byte(stored, "stored key number", function)
            how = f"stored key {stored} as key {key_type}"
        else:
            code = {"A": native.KEYTYPE_READER_A, "B": native.KEYTYPE_READER_B,
                    "F": native.KEYTYPE_READER_F}[key_type]
            how = f"the reader's key {key_type}"
        self._call(function, f"log in to sector {sector} with {how}", sector, code, number, data)

    def read(self, block: int) -> bytes:
        """Reads a 16-byte block of the sector logged in to."""
        handle = self._handle
        if handle is None:
            self._h("Zelvorn_Read")
        if not 0 <= block <= 0xFF:
            _byte(block, "block", "Zelvorn_Read")
        data = _Block.from_buffer_copy(_BLOCK_FILL)
        result = self._read(handle, block, data)
        if result:
            raise error_for(result, "Zelvorn_Read", f"read block {block}")
        out = bytes(data)
        if out == _BLOCK_FILL:  # a block like the pattern, or one never written
            self._read_into("Zelvorn_Read", f"read block {block}", [data], block, data)
            out = bytes(data)
        return out

    def write(self, block: int, data: bytes) -> None:
        """Writes 16 bytes to a block; the library checks what the card took
        (except for a sector trailer, whose keys read back differently).

        Raises:
            Failure: the block did not read back as written.
        """
        function = "Zelvorn_Write"
        _byte(block, "block", function)
        self._call(function, f"write block {block}", block,
                   _exact(data, (16,), "block data", function))

    def value(self, block: int) -> int:
        """Reads a value block's value."""
        out = ctypes.c_int32()
        self._read_into("Zelvorn_ReadValue", f"read value block {block}", [out],
                        _byte(block, "block", "Zelvorn_ReadValue"), ctypes.byref(out))
        return out.value

    def set_value(self, block: int, value: int) -> None:
        """Writes a block as a value block holding ``value`` (signed 32-bit)."""
        function = "Zelvorn_WriteValue"
        self._call(function, f"write value {value} to block {block}",
                   _byte(block, "block", function), _int32(value, "value", function))

    def _value_after(self, out: ctypes.c_int32, block: int) -> int:
        """The value a value command handed back over the pattern. Where it
        still holds the pattern it may never have been written, and the
        command cannot be repeated: the block is read instead."""
        if _holds([out], _PATTERNS[0]):
            return self.value(block)
        return out.value

    def _arith(self, function: str, detail: str, block: int, amount: int) -> int:
        out = ctypes.c_int32()
        _fill([out], _PATTERNS[0])
        self._call(function, detail, _byte(block, "block", function),
                   _int32(amount, "amount", function), ctypes.byref(out))
        return self._value_after(out, block)

    def increment(self, block: int, amount: int) -> int:
        """Adds ``amount`` to a value block; returns the new value."""
        return self._arith("Zelvorn_Inc", f"increment block {block} by {amount}", block, amount)

    def decrement(self, block: int, amount: int) -> int:
        """Subtracts ``amount`` from a value block; returns the new value."""
        return self._arith("Zelvorn_Dec", f"decrement block {block} by {amount}", block, amount)

    def copy(self, source: int, target: int) -> int:
        """Copies a value block to another block of the same sector; returns
        the value copied."""
        function = "Zelvorn_Copy"
        out = ctypes.c_int32()
        _fill([out], _PATTERNS[0])
        self._call(function, f"copy value block {source} to {target}",
                   _byte(source, "source block", function), _byte(target, "target block", function),
                   ctypes.byref(out))
        return self._value_after(out, target)

    def store_key(self, number: int, key: bytes) -> None:
        """Loads a 6-byte key into the reader under ``number``, for
        ``login(..., stored=number)``; the reader keeps it across resets."""
        function = "Zelvorn_WriteMasterKey"
        self._call(function, f"store key number {number}", _byte(number, "key number", function),
                   _exact(key, (6,), "key", function))

    def dump(self, keys: Iterable[bytes] = (TRANSPORT_KEY,), key_type: KeyType = "A", *,
             serial: Optional[bytes] = None, sectors: Optional[int] = None) -> Dump:
        """Reads a whole MIFARE Classic card, trying the keys in turn on each
        sector.

        Args:
            keys: 6-byte keys, tried in this order.
            key_type: ``"A"`` or ``"B"``.
            serial: the card to read; the first card in the field by default.
            sectors: how many sectors to read; by default 16 for a 1K card and
                40 for a 4K card.

        Returns:
            the blocks read and the key that opened each sector; blocks the
            reader refused are in ``Dump.refused``.

        Raises:
            ValueError: the card is not a MIFARE Classic card and ``sectors``
                was not given.
        """
        key_list = [_exact(k, (6,), "key", "Zelvorn_Login") for k in keys]
        if not key_list or key_type not in ("A", "B"):
            raise InvalidParameter(ERR_INVALID_PARAMETER, "Zelvorn_Login",
                                   "dump needs at least one key, and key type 'A' or 'B'")
        card = self.select(serial)
        count = sectors if sectors is not None else _SECTOR_COUNTS.get(card.kind)
        if count is None:
            raise ValueError(f"the card {card.serial.hex().upper()} (type {card.type:02X}) is not "
                             "a MIFARE Classic card; give sectors= to read it anyway")
        result = Dump(card, {}, {}, key_type)
        for sector in range(count):
            refusal: Optional[ReaderStatus] = None
            for key in key_list:
                try:
                    self.login(sector, key, key_type)
                except ReaderStatus as e:
                    refusal = e
                    self.select(card.serial)  # a refused login halts the card
                    continue
                result.keys[sector] = key
                break
            for block in range(first_block(sector), first_block(sector) + blocks_in(sector)):
                if sector not in result.keys:
                    assert refusal is not None
                    result.refused[block] = refusal
                    continue
                try:
                    result.blocks[block] = self.read(block)
                except ReaderStatus as e:
                    result.refused[block] = e
        return result

    # ---- Raw telegrams and type B cards ---------------------------------------

    def telegram(self, data: bytes, option: int = 0x0C) -> bytes:
        """Passes bytes through the reader to the card and returns its answer.

        Args:
            data: up to 119 bytes for the card.
            option: the reader's option byte (0x08 appends the CRC, 0x04
                checks and strips it from the answer).
        """
        function = "Zelvorn_TxDataTelegram"
        payload = bytes(data)
        if len(payload) > native.MAX_TELEGRAM - 2:
            raise InvalidParameter(ERR_INVALID_PARAMETER, function,
                                   f"{len(payload)} bytes: at most {native.MAX_TELEGRAM - 2}")
        telegram = bytes((len(payload), _byte(option, "option byte", function))) + payload
        length = ctypes.c_uint8()
        answer = _Telegram()
        self._call(function, "send a telegram", len(telegram), telegram, ctypes.byref(length),
                   answer)
        return bytes(answer[:min(length.value, native.MAX_TELEGRAM_RESPONSE)])

    def ultralight(self, serial: Optional[bytes] = None) -> "Ultralight":
        """The MIFARE Ultralight, Ultralight EV1 or NTAG tag with this 7-byte
        serial number, or the first one in the field, selected: its pages
        through the tag's own commands (see :class:`zelvorn.Ultralight`).

        Raises:
            NoCard: no such tag is in the field.
        """
        from .ultralight import Ultralight, is_type2

        if serial is None:
            tags = [c for c in self.cards() if is_type2(c.type, c.serial)]
            if not tags:
                raise NoCard(-1, "Zelvorn_ListTags", "no Ultralight or NTAG tag in the field")
            serial = tags[0].serial
        return Ultralight(self, bytes(serial))

    def atqb(self) -> Atqb:
        """Reads the ATQB of the type B card in the field."""
        out = _Atqb()
        self._read_into("Zelvorn_ReadATQB", "read the ATQB", [out], out)
        raw = bytes(out)
        return Atqb(raw[:4], raw[4:])

    # ---- ASK tickets -----------------------------------------------------------

    def ask_read(self, sector: int) -> bytes:
        """Reads the 2 bytes of an ASK ticket sector."""
        out = _AskSector()
        self._read_into("Zelvorn_ASKSectorRead", f"read ticket sector {sector}", [out],
                        _byte(sector, "sector", "Zelvorn_ASKSectorRead"), out)
        return bytes(out)

    def ask_read_multi(self, sector: int) -> bytes:
        """Reads 8 bytes of an ASK ticket: this sector and the three after it."""
        out = _AskMulti()
        self._read_into("Zelvorn_ASKSectorMultiRead", f"read ticket sectors from {sector}", [out],
                        _byte(sector, "sector", "Zelvorn_ASKSectorMultiRead"), out)
        return bytes(out)

    def ask_write(self, sector: int, data: bytes, erase: bool = True) -> bytes:
        """Writes 2 bytes to an ASK ticket sector and returns the sector as it
        reads back.

        Args:
            erase: True replaces the sector's bytes; False ORs them in (bits
                can be set, never cleared), which is the only way to write a
                one-time-programmable sector.
        """
        function = "Zelvorn_ASKSectorWrite"
        out = _AskSector.from_buffer_copy(_exact(data, (2,), "sector data", function))
        self._call(function, f"write ticket sector {sector}", _byte(sector, "sector", function),
                   out, 0 if erase else 1)
        return bytes(out)

    # ---- Reader control ---------------------------------------------------------

    def reset(self) -> None:
        """Resets the reader (the field comes on, no card stays selected)."""
        self._end_card_session()
        self._call("Zelvorn_Reset", "reset the reader")

    def status(self) -> Status:
        """Fetches the reader's status report."""
        block = _StatusBlock()
        record = native.StatusRecord()
        self._read_into("Zelvorn_Status", "fetch the status report", [block, record], block,
                        ctypes.byref(record))
        return Status(bytes(block), record.statusA, record.statusB, record.statusC,
                      record.statusD, record.statusE, record.statusF)

    def field(self, on: bool) -> None:
        """Switches the RF field on or off. Either way every card loses its
        session and selection."""
        self._end_card_session()
        self._call("Zelvorn_Power", f"switch the field {'on' if on else 'off'}", 1 if on else 0)

    def _read_byte(self, function: str, detail: str, number: int, what: str) -> int:
        out = ctypes.c_uint8()
        self._read_into(function, detail, [out], _byte(number, what, function), ctypes.byref(out))
        return out.value

    def read_register(self, register: int) -> int:
        """Reads a register of the RC500 front end."""
        return self._read_byte("Zelvorn_ReadRC500Reg", f"read register 0x{register:02X}",
                               register, "register")

    def write_register(self, register: int, value: int) -> None:
        """Writes a register of the RC500 front end (checked by its echo)."""
        function = "Zelvorn_WriteRC500Reg"
        self._call(function, f"write register 0x{register:02X}",
                   _byte(register, "register", function), _byte(value, "value", function))

    def read_eeprom(self, address: int) -> int:
        """Reads one byte of the reader's EEPROM."""
        return self._read_byte("Zelvorn_ReadEEPROM", f"read EEPROM byte {address}",
                               address, "address")

    def write_eeprom(self, address: int, value: int) -> None:
        """Writes one byte of the reader's EEPROM (checked by its echo)."""
        function = "Zelvorn_WriteEEPROM"
        self._call(function, f"write EEPROM byte {address}", _byte(address, "address", function),
                   _byte(value, "value", function))

    def read_user_port(self) -> int:
        """Reads the user port, inputs and outputs together."""
        out = ctypes.c_uint8()
        self._read_into("Zelvorn_ReadUserPort", "read the user port", [out], ctypes.byref(out))
        return out.value

    def write_user_port(self, value: int) -> None:
        """Sets the user port's outputs, bits 6 and 2 (mask 0x44); the other
        bits are sent as 0."""
        function = "Zelvorn_WriteUserPort"
        self._call(function, "write the user port", _byte(value, "port value", function))

    # ---- ISO/IEC 14443-4 -----------------------------------------------------

    # ---- NDEF -----------------------------------------------------------------

    def read_ndef(self, serial: Optional[bytes] = None) -> List[ndef.Record]:
        """The records of the NDEF message of a card: the one with this
        serial number, or the first in the field that can hold NDEF (a MIFARE
        Classic card, read through its MAD with the public keys; a Type 2 tag
        such as MIFARE Ultralight or NTAG, read through its capability
        container and TLVs, from page 3 only as far as the message goes; or a
        Type 4 tag, read through its NDEF application).

        Raises:
            ndef.NdefError: the card holds no NDEF message, or a malformed one.
        """
        return ndef.decode_message(ndef_tags.read_message(self, serial))

    def write_ndef(self, records: Sequence[ndef.Record], serial: Optional[bytes] = None) -> None:
        """Writes an NDEF message of these records to a card chosen as
        :meth:`read_ndef` chooses it. The length is written last, so a card
        taken away halfway holds an empty message rather than a broken one.

        Raises:
            ndef.NdefError: a message larger than the card holds (nothing is
                written), a card not formatted for NDEF, or a read-only one (a
                Type 2 tag's capability container or lock bits).
        """
        ndef_tags.write_message(self, ndef.encode_message(records), serial)

    def connect_iso(self, fsdi: int = 4) -> IsoSession:
        """Starts the ISO/IEC 14443-4 protocol with the selected card: RATS,
        then block numbering from the card's frame size in its ATS.

        The C library keeps one block state (block number and frame size) per
        process, shared by every reader and card. So only one session may be
        active at a time: end it with :meth:`IsoSession.deselect` (or leave
        its ``with`` block) before connecting to another card.

        Args:
            fsdi: the frame size the reader announces (0..255; the library
                sends at most 4, 48 bytes).

        Raises:
            DeviceBusy: another session holds the block state.
        """
        function = "PICC_RATS"
        _byte(fsdi, "FSDI", function)
        owner = self.library._iso_session()
        if owner is not None:
            raise DeviceBusy(ERR_DEVICE_BUSY, "PICC_InitBlockNumber",
                             f"the library's one ISO/IEC 14443-4 block state belongs to {owner!r}; "
                             "deselect it first")
        length = ctypes.c_uint8()
        ats = _Ats()
        self._call(function, "request the ATS (RATS)", fsdi, ctypes.byref(length), ats)
        raw = bytes(ats[:min(length.value, native.MAX_ATS)])
        # T0, the second byte, carries the card's FSCI; without it the card
        # takes the default of FSCI 2.
        fsci = raw[1] & 0x0F if len(raw) >= 2 and raw[0] >= 2 else 2
        fsc = self.library.raw.PICC_InitBlockNumber(fsci)
        session = IsoSession(self, raw, fsc)
        self._iso = session
        return session

