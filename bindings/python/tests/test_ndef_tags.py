"""NDEF messages on the virtual reader's cards through Reader.read_ndef and
write_ndef: a Type 4 tag (the demo's processor card), a MIFARE Classic
card laid out as NXP's and libfreefare's formatting lays it out, and a Type 2
tag (the demo's NTAG215), also against the command-line tool."""

from __future__ import annotations

import json
import os
import random
import subprocess
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Tuple

import pytest

import zelvorn
from zelvorn import ndef, ndef_type2

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


def test_the_demo_cards(reader: zelvorn.Reader) -> None:
    # The second MIFARE Classic card, formatted and written by the tool.
    assert reader.read_ndef(bytes.fromhex("5A4E4446")) == [
        ndef.UriRecord("https://example.org/zelvorn"),
        ndef.TextRecord("Hello from a MIFARE Classic card", "en")]
    # A type B card's type byte (B0) is the reader's own, not a SAK whose
    # ISO/IEC 14443-4 bit says anything.
    with pytest.raises(ndef.NdefError, match="holds no NDEF"):
        reader.read_ndef(bytes.fromhex("1B2B3B4B"))


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


NTAG215 = bytes.fromhex("045A4C564F524E")
DEMO_TEXT = [ndef.TextRecord("Zelvorn tag")]


def message_of(size: int) -> List[ndef.Record]:
    # A record without type: a 6-byte header (4-byte payload length) and the payload.
    records: List[ndef.Record] = [ndef.UnknownRecord(bytes(size - 6))]
    assert len(ndef.encode_message(records)) == size
    return records


# The NTAG215's capability container E1 10 3E 00 gives a data area of 3E * 8 =
# 496 bytes (pages 4..127), without a Lock Control TLV: 492 bytes of message
# and the TLV's 4.
@pytest.mark.parametrize("write, page3, expected, error", [
    (None, None, DEMO_TEXT, None),
    ([ndef.UriRecord("https://example.org/zelvorn"), ndef.TextRecord("Zelvorn " * 40, "de")],
     None, None, None),
    (message_of(492), None, None, None),
    (message_of(493), None, DEMO_TEXT,
     "the message is 493 bytes; the NDEF area holds at most 492 on this tag; nothing was written"),
    # Read-only by its capability container: page 3 is one-time programmable,
    # so the access bits are added to what is there.
    ([ndef.UriRecord("https://example.org")], "0000000F", DEMO_TEXT,
     "the tag is read-only: its capability container's access byte is 0F"),
], ids=["as delivered", "URI and text", "full", "one byte too large", "read-only"])
def test_type2_tag(reader: zelvorn.Reader, monkeypatch: pytest.MonkeyPatch,
                   write: Optional[List[ndef.Record]], page3: Optional[str],
                   expected: Optional[List[ndef.Record]], error: Optional[str]) -> None:
    if page3:
        reader.ultralight(NTAG215).write(3, bytes.fromhex(page3))
    before = reader.ultralight(NTAG215).read(0, 135)
    reads: List[Tuple[int, int]] = []
    writes: List[Tuple[int, bytes]] = []
    read, write_page = zelvorn.Ultralight.read, zelvorn.Ultralight.write

    def reading(tag: zelvorn.Ultralight, page: int, count: int = 1) -> bytes:
        reads.append((page, count))
        return read(tag, page, count)

    def writing(tag: zelvorn.Ultralight, page: int, data: bytes) -> None:
        writes.append((page, bytes(data)))
        write_page(tag, page, data)

    monkeypatch.setattr(zelvorn.Ultralight, "read", reading)
    monkeypatch.setattr(zelvorn.Ultralight, "write", writing)
    if write is not None and error:
        with pytest.raises(ndef.NdefError, match=error):
            reader.write_ndef(write, NTAG215)
        assert writes == []
    elif write is not None:
        reader.write_ndef(write, NTAG215)
        # The page with the TLV's length first with a length of 0, the other
        # pages once each in order, then that page again with the length.
        pages = [page for page, _ in writes]
        assert pages[0] == pages[-1] == 4
        assert pages[1:-1] == sorted(set(pages[1:-1])) and 4 not in pages[1:-1]
        assert writes[0][1][1] == 0 and writes[-1][1][1] != 0
    reads.clear()
    assert reader.read_ndef(NTAG215) == (expected or write)
    # Only as far as the message goes: the demo's text lies in pages 4..9,
    # which come with page 3 in one answer; never past the data area.
    assert reads[0] == (3, 13)
    assert write is not None or len(reads) == 1
    assert max(page + count for page, count in reads) <= 128
    if error:
        assert reader.ultralight(NTAG215).read(0, 135) == before


def run_tool(tool: str, state: Path, demo: Path, *args: str) -> str:
    done = subprocess.run(
        [tool, "--virtual", "--state", str(state), *args],
        env=dict(os.environ, ZELVORN_VIRTUAL_SCENARIO=str(demo)), capture_output=True,
        text=True, check=False)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.mark.parametrize("writer", ["tool", "python"])
def test_type2_tag_reads_alike_in_the_tool(tool: str, virtual_copy: Path, demo: Path,
                                           tmp_path: Path,
                                           monkeypatch: pytest.MonkeyPatch, writer: str) -> None:
    state = tmp_path / "state.json"
    serial = NTAG215.hex().upper()
    monkeypatch.setenv("ZELVORN_VIRTUAL_STATE", str(state))
    if writer == "tool":
        run_tool(tool, state, demo, "ndef", "-c", serial, "write", "--uri", "https://example.org")
    else:
        with zelvorn.open_virtual(scenario=demo, library=virtual_copy) as r:
            r.write_ndef([ndef.UriRecord("https://example.org"), ndef.TextRecord("Zelvorn")],
                         NTAG215)
    with zelvorn.open_virtual(scenario=demo, library=virtual_copy) as r:
        records = r.read_ndef(NTAG215)
    printed = json.loads(run_tool(tool, state, demo, "--json", "ndef", "-c", serial, "read"))
    assert printed["message"] == ndef.encode_message(records).hex().upper()
    assert [record.get("uri") or record.get("text") for record in printed["records"]] == \
        [getattr(record, "uri", None) or getattr(record, "text") for record in records]
    assert records[0] == ndef.UriRecord("https://example.org")


class MemoryTag:
    """A Type 2 tag's pages in memory, refusing pages beyond them as a tag does."""

    def __init__(self, memory: bytes) -> None:
        self.memory = bytearray(memory)
        self.written: List[int] = []

    def read(self, page: int, count: int = 1) -> bytes:
        if page + count > len(self.memory) // 4:
            raise zelvorn.TagRefused(-1, "Zelvorn_TxDataTelegram", "beyond the tag")
        return bytes(self.memory[4 * page:4 * (page + count)])

    def write(self, page: int, data: bytes) -> None:
        self.written.append(page)
        self.memory[4 * page:4 * page + 4] = data


# An NTAG213's memory (data area 144 bytes, pages 4..39; the default dynamic
# lock bytes after it in page 40) with these TLVs and lock bytes; a 60-byte
# message reaches page 20.
@pytest.mark.parametrize("tlvs, locks, error", [
    # A Memory Control TLV sets bytes 24..27 (page 6) aside: position 60 is
    # page 6 in pages of 2^2 bytes, size 4 (nfcpy's tt2.py reads it alike).
    ("0203600402 0300FE", {}, None),
    # 141 bytes from byte 20 end one byte past the data area.
    ("03FF008D", {}, "the TLV at byte 16 \\(type 03\\): its value of 141 bytes runs past the end"),
    ("0300FE", {10: 0x20}, "page 5 is locked by a static lock bit"),
    # Dynamic lock bit 1 locks bytes 72..79 (pages 18 and 19).
    ("0300FE", {160: 0x02}, "page 18 is locked by a dynamic lock bit"),
])
def test_type2_layout(tlvs: str, locks: Dict[int, int], error: Optional[str]) -> None:
    memory = bytearray(45 * 4)
    memory[12:16] = bytes.fromhex("E1101200")
    tlv_bytes = bytes.fromhex(tlvs)
    memory[16:16 + len(tlv_bytes)] = tlv_bytes
    memory[24:28] = b"KEEP" if tlv_bytes[0] == 0x02 else memory[24:28]
    for address, value in locks.items():
        memory[address] = value
    tag = MemoryTag(memory)
    message = bytes(range(60))
    if error:
        with pytest.raises(ndef.NdefError, match=error):
            ndef_type2.write_message(tag, message)
        assert tag.written == []
        return
    ndef_type2.write_message(tag, message)
    assert ndef_type2.read_message(tag) == message
    assert tag.memory[24:28] == b"KEEP" and 6 not in tag.written


def test_type2_layout_on_arbitrary_memory() -> None:
    # Tag memory is outside input: whatever its TLVs say, reading and writing
    # end in a message, an NdefError or the tag's refusal, and writes stay in
    # the data area.
    rng = random.Random(2)
    for _ in range(3000):
        pages = rng.choice([16, 45, 135])
        memory = bytearray(rng.getrandbits(8) for _ in range(4 * pages))
        memory[10:12] = bytes(2) if rng.random() < 0.8 else memory[10:12]
        memory[12:16] = bytes([0xE1, 0x10, rng.choice([6, 0x12, 0x3E, 0xFF]), rng.choice([0, 0, 0x0F])])
        tlvs = bytes(rng.choice([0x00, 0x01, 0x02, 0x03, 0xFD, 0xFE, 0xFF, 3, 0x10])
                     for _ in range(rng.randrange(40)))
        memory[16:16 + len(tlvs)] = tlvs
        tag = MemoryTag(memory)
        for step in ("read", "write"):
            try:
                if step == "read":
                    ndef_type2.read_message(tag)
                else:
                    ndef_type2.write_message(tag, bytes(rng.randrange(300)))
            except (ndef.NdefError, zelvorn.TagRefused):
                pass
        end_page = 4 + memory[14] * 2
        assert all(4 <= page < end_page for page in tag.written)
