"""NDEF messages on the cards in a reader's field: MIFARE Classic cards
through their MIFARE Application Directory (MAD), Type 2 tags (MIFARE
Ultralight, NTAG) through their capability container and TLVs
(:mod:`zelvorn.ndef_type2`), and Type 4 tags (ISO/IEC 14443-4 cards with the
NFC Forum NDEF application).

Use it through :meth:`zelvorn.Reader.read_ndef` and
:meth:`zelvorn.Reader.write_ndef`. A card formatted for NDEF by a phone, by
``zelvorn ndef format`` or by other NFC tools reads alike: sector 0 holds the
MAD, readable with the public key A0A1A2A3A4A5; each sector it names E103
holds NDEF data, opened by the NFC Forum key D3F7D3F7D3F7; their data blocks,
trailers left out, hold a TLV area with the message in an NDEF TLV.
"""

from __future__ import annotations

from typing import List, Optional, Protocol, Sequence, Tuple

from . import ndef, ndef_type2, ultralight
from ._geometry import SECTORS_BY_TYPE, first_block, sector_of
from ._kinds import CardKind
from ._tlv import ndef_tlv
from .errors import ReaderStatus
from .iso import IsoSession


class Card(Protocol):
    """What is used of a card in the field (a :class:`zelvorn.Card`)."""

    @property
    def type(self) -> int: ...

    @property
    def serial(self) -> bytes: ...

    @property
    def kind(self) -> CardKind: ...


class Reader(Protocol):
    """What is used of the reader (a :class:`zelvorn.Reader`)."""

    def cards(self) -> Sequence[Card]: ...

    def select(self, serial: Optional[bytes] = None) -> Card: ...

    def login(self, sector: int, key: Optional[bytes] = None) -> None: ...

    def read(self, block: int) -> bytes: ...

    def write(self, block: int, data: bytes) -> None: ...

    def connect_iso(self, fsdi: int = 4) -> IsoSession: ...

    def ultralight(self, serial: Optional[bytes] = None) -> ultralight.Ultralight: ...

MAD_KEY = bytes.fromhex("A0A1A2A3A4A5")
NDEF_KEY = bytes.fromhex("D3F7D3F7D3F7")
TRANSPORT_KEY = bytes.fromhex("FFFFFFFFFFFF")

_NDEF_AID = 0xE103
_MAD2_SECTOR = 16
_NDEF_APPLICATION = bytes.fromhex("D2760000850101")
_SHORT_DATA = 255


def mad_crc(data: bytes) -> int:
    """The MAD's CRC-8 (polynomial x^8+x^4+x^3+x^2+1, preset C7) over its
    info byte and application IDs."""
    crc = 0xC7
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1D) & 0xFF if crc & 0x80 else (crc << 1) & 0xFF
    return crc


def _blocks_in(sector: int) -> int:
    return 4 if sector < 32 else 16


def _data_blocks(sectors: Sequence[int]) -> List[int]:
    return [first_block(s) + i for s in sectors for i in range(_blocks_in(s) - 1) if
            first_block(s) + i != 0]


def ndef_sectors(mad1: bytes, gpb: int, sectors: int, mad2: bytes = b"") -> List[int]:
    """The NDEF sectors a MAD names, in order. mad1 is blocks 1 and 2 of
    sector 0, gpb its trailer's general purpose byte, mad2 blocks 64..66.

    Raises:
        ndef.NdefError: no MAD, a CRC that does not match, or no NDEF sector.
    """
    if not gpb & 0x80 or gpb & 0x03 not in (1, 2):
        raise ndef.NdefError(f"sector 0 holds no MAD (general purpose byte {gpb:02X}): the "
                             "card is not formatted for NDEF")
    directories = [(mad1, range(1, 16))]
    if gpb & 0x03 == 2 and sectors > _MAD2_SECTOR:
        directories.append((mad2, range(17, sectors)))
    found = []
    for data, numbers in directories:
        if len(data) < 32 or mad_crc(data[1:]) != data[0]:
            raise ndef.NdefError("the MAD's CRC does not match: the directory is damaged")
        for i, sector in enumerate(numbers):
            at = 2 + 2 * i
            if sector < sectors and at + 1 < len(data) and \
                    data[at] | data[at + 1] << 8 == _NDEF_AID:
                found.append(sector)
    if not found:
        raise ndef.NdefError("the MAD names no NDEF sector")
    return found


def _tlv_at(area: bytes, at: int) -> Tuple[int, int, int]:
    """The type, value offset and length of the TLV at ``at``."""
    kind = area[at]
    if at + 1 >= len(area):
        raise ndef.NdefError(f"the TLV at byte {at} runs past the NDEF area")
    if area[at + 1] != 0xFF:
        return kind, at + 2, area[at + 1]
    if at + 3 >= len(area):
        raise ndef.NdefError(f"the TLV at byte {at} runs past the NDEF area")
    return kind, at + 4, area[at + 2] << 8 | area[at + 3]


def scan_area(area: bytes) -> Tuple[Optional[bytes], int]:
    """The message of the first NDEF TLV of a TLV area (None without one), and
    where that TLV starts or a new one goes."""
    at = 0
    start = 0
    while at < len(area):
        kind = area[at]
        if kind == 0x00:
            at += 1
            continue
        if kind == 0xFE:
            break
        kind, value, length = _tlv_at(area, at)
        if value + length > len(area):
            raise ndef.NdefError(f"the TLV at byte {at} runs past the NDEF area")
        if kind == 0x03:
            return area[value:value + length], at
        at = value + length
        start = at
    return None, start


class _Classic:
    """A MIFARE Classic card's sectors, each opened with the first public key
    that the card takes."""

    def __init__(self, reader: Reader, card: Card) -> None:
        self.reader = reader
        self.card = card
        self.sectors = SECTORS_BY_TYPE[card.type]
        self.open = -1

    def login(self, sector: int, keys: Sequence[bytes]) -> bool:
        if sector == self.open:
            return True
        for key in keys:
            self.reader.select(self.card.serial)
            try:
                self.reader.login(sector, key)
            except ReaderStatus:
                continue
            self.open = sector
            return True
        self.open = -1
        return False

    def area(self) -> Tuple[List[int], bytes]:
        if not self.login(0, (MAD_KEY, TRANSPORT_KEY)):
            raise ndef.NdefError("sector 0 opens with neither the MAD key nor the transport "
                                 "key: the card holds no MAD")
        mad1 = self.reader.read(1) + self.reader.read(2)
        gpb = self.reader.read(3)[9]
        mad2 = b""
        if gpb & 0x03 == 2 and self.sectors > _MAD2_SECTOR:
            if not self.login(_MAD2_SECTOR, (MAD_KEY, TRANSPORT_KEY)):
                raise ndef.NdefError("sector 16 (the second MAD) opens with no public key")
            mad2 = b"".join(self.reader.read(b) for b in range(64, 67))
        sectors = ndef_sectors(mad1, gpb, self.sectors, mad2)
        data = bytearray()
        for sector in sectors:
            if not self.login(sector, (NDEF_KEY, TRANSPORT_KEY)):
                raise ndef.NdefError(f"sector {sector}: the NFC Forum key does not open it")
            for block in _data_blocks([sector]):
                data += self.reader.read(block)
        return sectors, bytes(data)

    def read(self) -> bytes:
        _, area = self.area()
        message, _ = scan_area(area)
        if message is None:
            raise ndef.NdefError("the NDEF sectors hold no NDEF message")
        return message

    def write(self, message: bytes) -> None:
        sectors, area = self.area()
        _, at = scan_area(area)
        tlv = ndef_tlv(message)
        if at + len(tlv) - 1 > len(area):  # the terminator may be left out
            raise ndef.NdefError(f"the message is {len(message)} bytes; the NDEF sectors hold "
                                 f"at most {len(area) - at - 4} from where it goes; nothing "
                                 "was written")
        tlv = tlv[:len(area) - at]
        new = bytearray(area)
        new[at:at + len(tlv)] = tlv
        blocks = _data_blocks(sectors)
        changed = [i for i in range(len(blocks)) if new[16 * i:16 * i + 16] != area[16 * i:16 * i + 16]]
        first = at // 16
        if len(changed) > 1 and first in changed:
            # The length first as 0 and last as it is: a card taken away
            # halfway holds an empty message, never a broken one.
            empty = bytearray(new[16 * first:16 * first + 16])
            empty[at % 16 + 1:at % 16 + 2] = b"\x00"
            if at % 16 + 1 < 16:
                self._write(blocks[first], bytes(empty))
            for i in changed:
                if i != first:
                    self._write(blocks[i], bytes(new[16 * i:16 * i + 16]))
            self._write(blocks[first], bytes(new[16 * first:16 * first + 16]))
        else:
            for i in changed:
                self._write(blocks[i], bytes(new[16 * i:16 * i + 16]))

    def _write(self, block: int, data: bytes) -> None:
        sector = sector_of(block)
        if not self.login(sector, (NDEF_KEY,)):
            raise ndef.NdefError(f"sector {sector}: the NFC Forum key does not open it for "
                                 "writing")
        self.reader.write(block, data)


def _type4(reader: Reader, card: Card, message: Optional[bytes]) -> bytes:
    """Reads the NDEF file of a Type 4 tag, or writes message to it."""
    reader.select(card.serial)
    with reader.connect_iso() as session:
        def send(apdu: bytes, step: str) -> bytes:
            response = session.transmit(apdu)
            if response.sw != 0x9000:
                raise ndef.NdefError(f"{step}: the card answered {response.sw:04X}")
            return response.data

        send(b"\x00\xA4\x04\x00\x07" + _NDEF_APPLICATION + b"\x00",
             "select the NDEF application")
        send(bytes.fromhex("00A4000C02E103"), "select the capability container")
        cc = send(bytes.fromhex("00B000000F"), "read the capability container")
        if len(cc) < 15 or cc[2] >> 4 != 2 or cc[7] != 0x04:
            raise ndef.NdefError("the capability container is not a Type 4 tag's")
        mle = min(cc[3] << 8 | cc[4], _SHORT_DATA)
        mlc = min(cc[5] << 8 | cc[6], _SHORT_DATA)
        size = cc[11] << 8 | cc[12]
        if mle < 1 or mlc < 1 or size < 2:
            raise ndef.NdefError("the capability container gives sizes the mapping does not allow")
        send(b"\x00\xA4\x00\x0C\x02" + cc[9:11], "select the NDEF file")
        if message is None:
            if cc[13] != 0x00:
                raise ndef.NdefError("the NDEF file may not be read")
            nlen = send(b"\x00\xB0\x00\x00\x02", "read the message length")
            length = nlen[0] << 8 | nlen[1]
            if length > size - 2:
                raise ndef.NdefError(f"the message length {length} exceeds the file")
            data = b""
            while len(data) < length:
                at = 2 + len(data)
                n = min(mle, length - len(data))
                data += send(bytes([0x00, 0xB0, at >> 8, at & 0xFF, n]), "read the message")
            return data[:length]
        if cc[14] != 0x00:
            raise ndef.NdefError("the NDEF file is read-only")
        if len(message) > size - 2:
            raise ndef.NdefError(f"the message is {len(message)} bytes; the NDEF file holds at "
                                 f"most {size - 2}; nothing was written")

        def update(at: int, data: bytes) -> None:
            send(bytes([0x00, 0xD6, at >> 8, at & 0xFF, len(data)]) + data,
                 "write the NDEF file")

        whole = len(message).to_bytes(2, "big") + message
        if len(whole) <= mlc:
            update(0, whole)
        else:
            update(0, b"\x00\x00")
            for at in range(2, len(whole), mlc):
                update(at, whole[at:at + mlc])
            update(0, whole[:2])
        return message


def _find(reader: Reader, serial: Optional[bytes]) -> Card:
    for card in reader.cards():
        if serial is not None and card.serial != serial:
            continue
        # A type B card's and a ticket's type bytes are the reader's own
        # (B0, A5), not a SAK whose ISO/IEC 14443-4 bit could be asked.
        if card.kind in (CardKind.TYPE_B, CardKind.ASK_TICKET):
            continue
        if card.type in SECTORS_BY_TYPE or card.type & 0x20 or \
                ultralight.is_type2(card.type, card.serial):
            return card
    raise ndef.NdefError("no MIFARE Classic, Type 2 or ISO/IEC 14443-4 card in the field"
                         if serial is None
                         else f"the card {serial.hex().upper()} is not in the field or holds "
                         "no NDEF")


def read_message(reader: Reader, serial: Optional[bytes] = None) -> bytes:
    """The bytes of the NDEF message of the card (the first that can hold
    NDEF, or the one with this serial number)."""
    card = _find(reader, serial)
    if card.type in SECTORS_BY_TYPE:
        return _Classic(reader, card).read()
    if ultralight.is_type2(card.type, card.serial):
        return ndef_type2.read_message(reader.ultralight(card.serial))
    return _type4(reader, card, None)


def write_message(reader: Reader, message: bytes, serial: Optional[bytes] = None) -> None:
    """Writes the bytes of an NDEF message to the card."""
    card = _find(reader, serial)
    if card.type in SECTORS_BY_TYPE:
        _Classic(reader, card).write(message)
    elif ultralight.is_type2(card.type, card.serial):
        ndef_type2.write_message(reader.ultralight(card.serial), message)
    else:
        _type4(reader, card, message)
