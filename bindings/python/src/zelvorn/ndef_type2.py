"""NDEF on NFC Forum Type 2 tags (MIFARE Ultralight, Ultralight EV1, NTAG):
pages of 4 bytes; pages 0..2 hold the serial number and the static lock
bytes, page 3 the capability container E1 VV SS AA (magic, mapping version,
data area size / 8, access), and the data area from page 4 the TLVs.

Reading takes the pages from page 3 on until the NDEF TLV is complete;
writing reads the whole data area and the lock bytes, checks that the tag
and the pages to write are writable and that the message fits, and only then
writes: the page with the TLV's length first with a length of 0, the other
pages, then that page again with the real length."""

from __future__ import annotations

from typing import Dict, List, Optional, Protocol, Sequence, Tuple

from . import _tlv
from .ndef import NdefError
from .ultralight import PAGE_SIZE, PAGES_PER_FAST_READ

DATA_AREA_START = 16  # page 4
CC_MAGIC = 0xE1

# Static lock bits: byte 10 bit 3 locks page 3, bits 4..7 pages 4..7; byte 11
# locks pages 8..15. Dynamic lock bits lock the memory from byte 64 on, where
# the static ones end.
_STATIC_LOCK0, _STATIC_LOCK1 = 10, 11
_DYNAMIC_LOCK_START = 64
# Pages 3..15 are on every Type 2 tag: the first read, before the capability
# container tells how far the data area goes.
_FIRST_PAGES = 16 - 3
# Page numbers are one byte.
_PAGES = 256


class Tag(Protocol):
    """What is used of the tag (a :class:`zelvorn.Ultralight`)."""

    def read(self, page: int, count: int = 1) -> bytes: ...

    def write(self, page: int, data: bytes) -> None: ...


def _capability_container(image: bytes) -> Tuple[int, int]:
    """The data area's size and the access byte of a tag formatted for NDEF
    whose data may be read."""
    cc = image[12:16]
    if cc[0] != CC_MAGIC:
        raise NdefError(f"page 3 holds {cc.hex(' ').upper()}, no NDEF capability container "
                        "(E1 ...): the tag is not formatted for NDEF; format it first")
    if cc[1] >> 4 != 1:
        raise NdefError(f"the capability container names NDEF mapping version "
                        f"{cc[1] >> 4}.{cc[1] & 15}; only 1.x is known")
    if cc[3] >> 4 != 0:
        raise NdefError(f"the capability container's access byte {cc[3]:02X} denies reading "
                        "the NDEF data")
    return cc[2] * 8, cc[3]


def locked_pages(image: bytes, first: int, last: int, locks: Sequence[_tlv.LockControl],
                 data_area: int) -> Optional[str]:
    """Why pages first..last may not be written, or None: page 3 and pages
    4..15 by the static lock bits of page 2, the pages from byte 64 on by the
    dynamic lock bits, as the Lock Control TLVs say or, without one, as the
    default layout places them after the data area."""

    def static(page: int) -> bool:
        if page == 3:
            return bool(image[_STATIC_LOCK0] & 0x08)
        if 4 <= page <= 7:
            return bool(image[_STATIC_LOCK0] >> page & 1)
        if 8 <= page <= 15:
            return bool(image[_STATIC_LOCK1] >> (page - 8) & 1)
        return False

    for page in range(first, last + 1):
        if static(page):
            return f"page {page} is locked by a static lock bit of page 2"
    bit = 0  # numbered across the TLVs, in their order
    for lock in _dynamic_locks(locks, data_area):
        for i in range(lock.bits):
            at = lock.address + i // 8
            if at >= len(image):
                return (f"the lock bytes at byte {lock.address} are not in the image: read up "
                        f"to byte {lock.address + (lock.bits + 7) // 8}")
            if image[at] >> (i % 8) & 1:
                begin = _DYNAMIC_LOCK_START + bit * lock.bytes_per_bit
                end = begin + lock.bytes_per_bit - 1
                if end // PAGE_SIZE >= first and begin // PAGE_SIZE <= last:
                    return (f"page {max(begin // PAGE_SIZE, first)} is locked by a dynamic lock "
                            f"bit (lock byte at byte {at} is {image[at]:02X})")
            bit += 1
    return None


def _dynamic_locks(locks: Sequence[_tlv.LockControl],
                   data_area: int) -> List[_tlv.LockControl]:
    if locks or data_area <= _DYNAMIC_LOCK_START - DATA_AREA_START:
        return list(locks)
    # Without a Lock Control TLV the lock bytes follow the data area.
    return [_tlv.LockControl(DATA_AREA_START + data_area,
                             (data_area - (_DYNAMIC_LOCK_START - DATA_AREA_START) + 7) // 8, 8)]


def write_plan(image: bytes, message: bytes) -> List[Tuple[int, bytes]]:
    """The pages (number, 4 bytes) that put message on the tag, in the order
    to write them. image starts at page 0 and reaches the end of the data
    area and the lock bytes; bytes of written pages that the TLV does not
    cover keep their value.

    Raises:
        NdefError: a read-only tag (capability container or lock bits), a
            message larger than the NDEF area, or malformed TLVs.
    """
    data_area, access = _capability_container(image)
    if access & 0x0F:
        raise NdefError("the tag is read-only: its capability container's access byte is "
                        f"{access:02X}")
    end = DATA_AREA_START + data_area
    if len(image) < end:
        raise NdefError(f"the memory image ends at byte {len(image)}; read the data area up "
                        f"to byte {end} first")
    found = _tlv.scan(image, DATA_AREA_START, end, True)
    usable = _tlv.usable_addresses(found.ndef_at, end, found.reserved)
    try:
        placed, length_at = _tlv.place(message, usable)
    except NdefError as e:
        raise NdefError(f"{e} on this tag; nothing was written") from None
    changed: Dict[int, bytearray] = {}
    for address, value in placed:
        page = address // PAGE_SIZE
        if page not in changed:
            changed[page] = bytearray(image[page * PAGE_SIZE:(page + 1) * PAGE_SIZE])
        changed[page][address % PAGE_SIZE] = value
    for page in sorted(changed):
        locked = locked_pages(image, page, page, found.locks, data_area)
        if locked:
            raise NdefError(f"{locked}: the tag is read-only there; nothing was written")
    if len(changed) == 1:
        return [(page, bytes(data)) for page, data in changed.items()]
    emptied: Dict[int, bytearray] = {}
    for address in length_at:
        page = address // PAGE_SIZE
        emptied.setdefault(page, bytearray(changed[page]))[address % PAGE_SIZE] = 0
    return ([(page, bytes(emptied[page])) for page in sorted(emptied)] +
            [(page, bytes(changed[page])) for page in sorted(changed) if page not in emptied] +
            [(page, bytes(changed[page])) for page in sorted(emptied)])


def _read_on(tag: Tag, image: bytearray, up_to: int) -> None:
    """Extends image, which ends on a page boundary, to at least up_to bytes:
    whole FAST_READ answers, never past the data area's last page."""
    page = len(image) // PAGE_SIZE
    last = (up_to + PAGE_SIZE - 1) // PAGE_SIZE
    if last > _PAGES:
        raise NdefError(f"byte {up_to - 1} lies past page {_PAGES - 1}, the last a Type 2 tag "
                        "can have: the capability container or a Lock Control TLV is wrong")
    if last > page:
        image += tag.read(page, last - page)


def read_message(tag: Tag) -> bytes:
    """The NDEF message of the tag, read from page 3 on until its NDEF TLV
    is complete.

    Raises:
        NdefError: no capability container, no NDEF TLV, or malformed TLVs.
    """
    # Pages 0..2 (serial number, static lock bytes) do not tell where the
    # message is; they stay zero here so that addresses are indexes.
    image = bytearray(3 * PAGE_SIZE) + tag.read(3, _FIRST_PAGES)
    data_area, _ = _capability_container(image)
    end = DATA_AREA_START + data_area
    while True:
        found = _tlv.scan(image, DATA_AREA_START, end, True)
        if not found.need:
            break
        chunk = min(len(image) + PAGES_PER_FAST_READ * PAGE_SIZE, end, _PAGES * PAGE_SIZE)
        _read_on(tag, image, max(found.need, chunk))
    if found.message is None:
        raise NdefError("the tag's data area holds no NDEF message")
    return found.message


def write_message(tag: Tag, message: bytes) -> None:
    """Writes message to the tag; a refusal leaves the tag as it was.

    Raises:
        NdefError: see :func:`write_plan`.
    """
    image = bytearray(tag.read(0, 4))
    data_area, access = _capability_container(image)
    if access & 0x0F == 0:  # a read-only tag is told before the rest is read
        _read_on(tag, image, DATA_AREA_START + data_area)
        locks = _dynamic_locks(_tlv.scan(image, DATA_AREA_START, len(image), True).locks,
                               data_area)
        lock_end = max((lock.address + (lock.bits + 7) // 8 for lock in locks), default=0)
        if lock_end > len(image):
            _read_on(tag, image, lock_end)
    for page, data in write_plan(image, message):
        tag.write(page, data)
