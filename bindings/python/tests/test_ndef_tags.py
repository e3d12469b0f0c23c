"""NDEF messages on the virtual reader's cards through Reader.read_ndef and
write_ndef: a Type 4 tag (the demo's processor card) and a MIFARE Classic
card laid out as NXP's and libfreefare's formatting lays it out."""

from __future__ import annotations

from typing import Any, Callable, Dict

import pytest

import zelvorn
from zelvorn import ndef

PROCESSOR_CARD = bytes.fromhex("045A454C564F01")
FF = zelvorn.TRANSPORT_KEY

# A 1K card as NXP's NDEF formatting leaves it (libnfc-nxp
# phFriNfc_MifStdFormat.c; libfreefare's mifare-classic-format writes the
# same): the MAD with CRC 14 naming sectors 1..15 NDEF (E103), its trailer
# A0A1A2A3A4A5 787788 C1, NDEF trailers D3F7D3F7D3F7 7F0788 40, an empty
# NDEF TLV in block 4.
FORMATTED_1K = {
    1: "1401" + "03E1" * 7,
    2: "03E1" * 8,
    3: "A0A1A2A3A4A5787788C1FFFFFFFFFFFF",
    4: "0300FE" + "00" * 13,
    **{4 * s + 3: "D3F7D3F7D3F77F078840FFFFFFFFFFFF" for s in range(1, 16)},
}

LONG_TEXT = ndef.TextRecord("Zelvorn " * 80, "de-CH")


def test_type4_tag_reads_and_writes_in_pieces_of_its_limits(reader: zelvorn.Reader) -> None:
    assert reader.read_ndef(PROCESSOR_CARD) == [ndef.UriRecord("https://example.org")]
    # 640 bytes of text: more than one command (MLc 52) and one answer (MLe 59).
    records = [ndef.UriRecord("https://example.org/x"), LONG_TEXT]
    reader.write_ndef(records, PROCESSOR_CARD)
    assert reader.read_ndef(PROCESSOR_CARD) == records
    with pytest.raises(ndef.NdefError, match="holds at most 1022; nothing was written"):
        reader.write_ndef([ndef.TextRecord("x" * 1100)], PROCESSOR_CARD)
    assert reader.read_ndef(PROCESSOR_CARD) == records


def test_mifare_classic_through_its_mad(
        scenario_reader: Callable[[Dict[str, Any]], zelvorn.Reader]) -> None:
    with scenario_reader({"cards": [{"type": "mifare-classic-1k", "serial": "A1B2C3D4"}]}) as r:
        with pytest.raises(ndef.NdefError, match="not formatted for NDEF"):
            r.read_ndef()
        for block, data in FORMATTED_1K.items():
            r.select()
            r.login(block // 4, FF)
            r.write(block, bytes.fromhex(data))
        assert r.read_ndef() == []
        records = [ndef.UriRecord("https://example.org/zelvorn"), LONG_TEXT]
        r.write_ndef(records)
        assert r.read_ndef() == records
        # Fifteen sectors of 48 bytes: 720, of which the TLV takes 4.
        with pytest.raises(ndef.NdefError, match="nothing was written"):
            r.write_ndef([ndef.TextRecord("y" * 720)])
        assert r.read_ndef() == records
        # The data blocks only: trailers keep their NFC Forum key.
        r.select()
        r.login(5, bytes.fromhex("D3F7D3F7D3F7"))
        assert r.read(23)[6:10] == bytes.fromhex("7F078840")
