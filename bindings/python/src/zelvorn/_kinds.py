"""The kinds of card a reader lists, shared by the reader and the NDEF
functions' choice of a card."""

from __future__ import annotations

import enum


class CardKind(str, enum.Enum):
    """What a card is, from the type byte the reader reports (the names are
    those of the virtual reader's scenario files)."""

    MIFARE_CLASSIC_1K = "mifare-classic-1k"
    MIFARE_CLASSIC_4K = "mifare-classic-4k"
    ISO14443_4 = "iso14443-4"
    TYPE_B = "type-b"
    ASK_TICKET = "ask-ticket"
    # MIFARE Ultralight, Ultralight EV1 and NTAG21x all report type 00; the
    # scenario files name each product ("ntag215"), which the tag itself tells.
    TYPE2 = "type2"
    UNKNOWN = "unknown"
