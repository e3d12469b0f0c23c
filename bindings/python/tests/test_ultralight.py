"""Type 2 tags through reader.ultralight(), on the virtual reader."""

from __future__ import annotations

from typing import Any, Callable, Dict

import pytest

import zelvorn

SERIAL = "045A4C564F524E"
Open = Callable[[Dict[str, Any]], zelvorn.Reader]


def tag(kind: str, **entries: Any) -> Dict[str, Any]:
    # A MIFARE Classic card first: the tag must be found behind it.
    return {"cards": [{"type": "mifare-classic-1k", "serial": "A1B2C3D4"},
                      dict({"type": kind, "serial": SERIAL}, **entries)]}


@pytest.mark.parametrize("kind, version, last_page", [
    ("ultralight", None, 15),
    ("ntag213", "0004040201000F03", 44),
    ("ntag216", "0004040201001303", 230),
])
def test_pages_read_written_and_read_back(scenario_reader: Open, kind: str,
                                          version: str, last_page: int) -> None:
    with scenario_reader(tag(kind)) as reader:
        ul = reader.ultralight()
        assert ul.serial.hex().upper() == SERIAL
        assert (ul.version.hex().upper() if ul.version else None) == version
        memory = ul.read(0, last_page + 1)
        assert len(memory) == 4 * (last_page + 1)
        assert memory[:3] == bytes.fromhex(SERIAL)[:3]
        ul.write(5, b"\x01\x02\x03\x04")
        assert ul.read(4, 2)[4:] == b"\x01\x02\x03\x04"
        with pytest.raises(zelvorn.TagRefused):
            ul.read(last_page + 1)
        # Selected again after the NAK: it goes on.
        assert ul.read(5) == b"\x01\x02\x03\x04"


def test_password_protected_pages(scenario_reader: Open) -> None:
    with scenario_reader(tag("ntag215", password="12345678", pack="ABCD", auth0=16,
                             access="80")) as reader:
        ul = reader.ultralight(bytes.fromhex(SERIAL))
        with pytest.raises(zelvorn.TagRefused):
            ul.read(16)
        with pytest.raises(zelvorn.TagRefused):
            ul.authenticate(b"\x00\x00\x00\x00")
        with pytest.raises(zelvorn.TagRefused):
            ul.authenticate(bytes.fromhex("12345678"), pack=b"\x00\x00")
        assert ul.authenticate(bytes.fromhex("12345678"), pack=bytes.fromhex("ABCD")) == \
            bytes.fromhex("ABCD")
        ul.write(16, b"\x09\x09\x09\x09")
        # A refusal elsewhere keeps the password session: it is repeated.
        with pytest.raises(zelvorn.TagRefused):
            ul.write(0, b"\x00\x00\x00\x00")
        assert ul.read(16) == b"\x09\x09\x09\x09"


def test_no_tag_in_the_field(reader: zelvorn.Reader) -> None:
    with pytest.raises(zelvorn.NoCard):
        reader.ultralight(bytes.fromhex("04000000000000"))
