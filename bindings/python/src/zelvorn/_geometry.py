"""MIFARE Classic geometry: where sectors start, how many blocks they have,
and how many sectors a card of a given type byte has."""

from __future__ import annotations

from typing import Dict

#: Sectors by the type byte (SAK) the reader reports: Mini, 1K, 4K, and 1K
#: and 4K cards that also speak ISO/IEC 14443-4.
SECTORS_BY_TYPE: Dict[int, int] = {0x09: 5, 0x08: 16, 0x28: 16, 0x18: 40, 0x38: 40}


def first_block(sector: int) -> int:
    """The first block of a MIFARE Classic sector (sectors 32..39 of a 4K card
    have 16 blocks, the others 4)."""
    return sector * 4 if sector < 32 else 128 + (sector - 32) * 16


def blocks_in(sector: int) -> int:
    """The number of blocks of a MIFARE Classic sector."""
    return 4 if sector < 32 else 16


def sector_of(block: int) -> int:
    """The MIFARE Classic sector a block lies in."""
    return block // 4 if block < 128 else 32 + (block - 128) // 16
