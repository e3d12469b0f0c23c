"""The TLV area in which MIFARE Classic cards and Type 2 tags keep NDEF: a
sequence of TLVs, each a type byte, a length (one byte, or FF and two bytes
big-endian) and a value. NULL (00) and the terminator (FE) have neither
length nor value. A Type 2 tag's Lock Control (01) and Memory Control (02)
TLVs set areas of memory aside, which the TLVs that follow them jump over.

Addresses are indexes into a memory image whose byte 0 is address 0."""

from __future__ import annotations

from bisect import bisect_right
from dataclasses import dataclass, field
from typing import List, Optional, Sequence, Tuple

from .ndef import NdefError

NULL, LOCK_CONTROL, MEMORY_CONTROL, NDEF, TERMINATOR = 0x00, 0x01, 0x02, 0x03, 0xFE

#: The largest length the three-byte form carries (FFFF is reserved).
MAX_LENGTH = 0xFFFE


def ndef_tlv(message: bytes) -> bytes:
    """An NDEF TLV holding message, then a terminator."""
    n = len(message)
    length = bytes([n]) if n < 0xFF else bytes([0xFF, n >> 8, n & 0xFF])
    return bytes([NDEF]) + length + message + bytes([TERMINATOR])


@dataclass(frozen=True)
class LockControl:
    """What a Lock Control TLV says: where its lock bytes are, how many lock
    bits they hold and how many bytes of memory each bit locks."""

    address: int
    bits: int
    bytes_per_bit: int


class Reserved:
    """Areas [begin, end) kept sorted and merged, so that the next usable
    address is a binary search however many control TLVs a tag claims."""

    def __init__(self, areas: Sequence[Tuple[int, int]] = ()) -> None:
        self.areas: List[Tuple[int, int]] = []
        self._begins: List[int] = []
        for begin, end in areas:
            self.add(begin, end)

    def add(self, begin: int, end: int) -> None:
        if begin >= end:
            return
        merged: List[Tuple[int, int]] = []
        for area in sorted(self.areas + [(begin, end)]):
            if merged and area[0] <= merged[-1][1]:
                merged[-1] = (merged[-1][0], max(merged[-1][1], area[1]))
            else:
                merged.append(area)
        self.areas = merged
        self._begins = [a[0] for a in merged]

    def usable(self, address: int) -> int:
        """The first address at or after this one that no area covers."""
        i = bisect_right(self._begins, address)
        if i and self.areas[i - 1][1] > address:
            return self.areas[i - 1][1]
        return address


@dataclass
class Scan:
    """What a scan of the TLV area found.

    message: the NDEF TLV's value, None without one. ndef_at: the address of
    the NDEF TLV's type byte, or where a new one goes (after the last TLV that
    is neither NULL nor a terminator). need: more than 0 when the image ends
    before what the scan needs: read up to this many bytes and scan again.
    """

    message: Optional[bytes] = None
    ndef_at: int = 0
    need: int = 0
    reserved: List[Tuple[int, int]] = field(default_factory=list)
    locks: List[LockControl] = field(default_factory=list)


def scan(image: bytes, begin: int, end: int, control_tlvs: bool) -> Scan:
    """Scans the TLVs from address begin up to end (exclusive). The image may
    stop short of end; the scan then asks for more where it needs it. With
    control_tlvs (Type 2 tags) the Lock and Memory Control TLVs reserve the
    areas they describe; without, they are skipped like any other TLV.

    Raises:
        NdefError: a TLV that runs past the end of the area.
    """
    reserved = Reserved()
    locks: List[LockControl] = []

    def finish(message: Optional[bytes], ndef_at: int, need: int = 0) -> Scan:
        return Scan(message, ndef_at, need, list(reserved.areas), list(locks))

    def after(a: int, start: int, what: str) -> int:
        following = reserved.usable(a + 1)
        if following >= end:
            raise NdefError(f"the TLV at byte {start} (type {image[start]:02X}): {what} runs "
                            f"past the end of the data area at byte {end}")
        return following

    a = reserved.usable(begin)
    last_end = a
    while True:
        a = reserved.usable(a)
        if a >= end:
            return finish(None, last_end)
        if a >= len(image):
            return finish(None, 0, a + 1)
        kind = image[a]
        if kind == NULL:
            a += 1
            continue
        if kind == TERMINATOR:
            return finish(None, last_end)
        start = a
        length, length_bytes, i = 0, 1, 0
        while i < length_bytes:
            a = after(a, start, "its length")
            if a >= len(image):
                return finish(None, 0, a + 1)
            if i == 0 and image[a] == 0xFF:
                length_bytes = 3
            else:
                length = length << 8 | image[a]
            i += 1
        # A control TLV of another length than 3 says nothing usable: it is
        # skipped like any other, as nfcpy does.
        control = control_tlvs and kind in (LOCK_CONTROL, MEMORY_CONTROL) and length == 3
        value: List[int] = []
        for _ in range(length):
            a = after(a, start, f"its value of {length} bytes")
            if kind == NDEF or control:
                value.append(a)
        if value and value[-1] >= len(image):
            return finish(None, 0, value[-1] + 1)
        if kind == NDEF:
            return finish(bytes(image[v] for v in value), start)
        if control:
            position, size, sizes = (image[v] for v in value)
            # The page address in the high nibble, the byte offset in the low
            # one; the page size is 2 to the power of the third byte's low nibble.
            address = (position >> 4) * (1 << (sizes & 0x0F)) + (position & 0x0F)
            count = size or 256
            if kind == LOCK_CONTROL:
                # The size counts lock bits; each locks 2^(high nibble) bytes.
                locks.append(LockControl(address, count, 1 << (sizes >> 4)))
                reserved.add(address, address + (count + 7) // 8)
            else:
                reserved.add(address, address + count)
        a += 1
        last_end = a


def usable_addresses(start: int, end: int, reserved: Sequence[Tuple[int, int]]) -> List[int]:
    """The addresses in [start, end) outside the reserved areas, in order."""
    areas = Reserved(reserved)
    out = []
    a = areas.usable(start)
    while a < end:
        out.append(a)
        a = areas.usable(a + 1)
    return out


def capacity(usable: int) -> int:
    """The largest message an NDEF TLV fits into this many bytes: a length
    below 255 takes one byte, a longer one three."""
    best = 0
    if usable >= 2:
        best = min(usable - 2, 254)
    if usable >= 4 + 255:
        best = min(usable - 4, MAX_LENGTH)
    return best


def place(message: bytes, usable: Sequence[int]) -> Tuple[List[Tuple[int, int]], List[int]]:
    """An NDEF TLV holding message laid over the usable addresses (the first
    is the TLV's type byte), with a terminator after it where there is room:
    the (address, value) pairs, and the addresses of the length field, which
    writers set last so that a write torn halfway leaves an empty message
    rather than a broken one.

    Raises:
        NdefError: the message does not fit.
    """
    most = capacity(len(usable))
    if len(usable) < 2 or len(message) > most:
        raise NdefError(f"the message is {len(message)} bytes; the NDEF area holds at most {most}")
    tlv = ndef_tlv(message)[:len(usable)]
    length_bytes = 1 if len(message) < 0xFF else 3
    return list(zip(usable, tlv)), list(usable[1:1 + length_bytes])
