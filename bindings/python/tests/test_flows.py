"""Whole flows on the virtual reader's demo scenario, as a user runs them."""

from __future__ import annotations

import pytest

import zelvorn

KEY_SECTOR_1 = bytes.fromhex("A0A1A2A3A4A5")
KEY_B_SECTOR_1 = bytes.fromhex("B0B1B2B3B4B5")
AID = bytes.fromhex("A00000055A454C5601")
PROCESSOR_CARD = bytes.fromhex("045A454C564F01")


def test_cards_and_selection(reader: zelvorn.Reader) -> None:
    # Every card `zelvorn list` shows, type B and the ticket too.
    cards = reader.cards()
    assert [(c.kind, c.type, c.serial.hex(), c.application_data.hex(), c.protocol_info.hex())
            for c in cards] == [
        (zelvorn.CardKind.MIFARE_CLASSIC_1K, 0x08, "a1b2c3d4", "", ""),
        (zelvorn.CardKind.ISO14443_4, 0x20, "045a454c564f01", "", ""),
        (zelvorn.CardKind.TYPE2, 0x00, "045a4c564f524e", "", ""),
        (zelvorn.CardKind.MIFARE_CLASSIC_1K, 0x08, "5a4e4446", "", ""),
        (zelvorn.CardKind.TYPE_B, 0xB0, "1b2b3b4b", "12345678", "008171"),
        (zelvorn.CardKind.ASK_TICKET, 0xA5, "a54b0001", "", ""),
    ]
    assert reader.select(PROCESSOR_CARD) == cards[1]
    assert reader.select() == cards[0]
    assert zelvorn.readers(library=reader.library.path) == [0]


@pytest.mark.parametrize("keys, refused_sectors", [
    ([zelvorn.TRANSPORT_KEY], {1}),
    ([zelvorn.TRANSPORT_KEY, KEY_SECTOR_1], set()),
])
def test_dump(reader: zelvorn.Reader, keys: list[bytes], refused_sectors: set[int]) -> None:
    dump = reader.dump(keys)
    assert dump.card.serial == bytes.fromhex("A1B2C3D4")
    assert {zelvorn.sector_of(b) for b in dump.refused} == refused_sectors
    assert set(dump.blocks) | set(dump.refused) == set(range(64))
    assert all(e.status == 0xFFFC for e in dump.refused.values())  # the key was refused
    assert dump.blocks[1] == b"Zelvorn demo" + bytes(4)
    expected_keys = {s: zelvorn.TRANSPORT_KEY for s in range(16) if s not in refused_sectors}
    if not refused_sectors:
        expected_keys[1] = KEY_SECTOR_1
        assert dump.blocks[4] == b"Hello, Zelvorn!\x00"
    assert dump.keys == expected_keys
    assert dump.complete == (not refused_sectors)


def test_blocks_and_values(reader: zelvorn.Reader) -> None:
    reader.select()
    reader.login(2, zelvorn.TRANSPORT_KEY)
    reader.write(10, bytes(range(16)))
    assert reader.read(10) == bytes(range(16))
    assert reader.value(9) == -20
    assert reader.increment(9, 30) == 10
    assert reader.decrement(9, 4) == 6
    assert reader.copy(9, 8) == 6
    reader.set_value(10, 2**31 - 1)
    assert [reader.value(b) for b in (8, 9, 10)] == [6, 6, 2**31 - 1]
    with pytest.raises(zelvorn.ReaderStatus) as overflow:
        reader.increment(10, 1)
    assert overflow.value.status == 0xFFF8
    # Sector 1's value block may be incremented with key B only.
    reader.login(1, KEY_SECTOR_1)
    assert reader.value(5) == 1234
    with pytest.raises(zelvorn.ReaderStatus) as denied:
        reader.increment(5, 1)
    assert (denied.value.code, denied.value.function) == (-6, "Zelvorn_Inc")
    reader.select()
    reader.login(1, KEY_B_SECTOR_1, "B")
    assert reader.increment(5, 1) == 1235


def test_stored_and_reader_keys(reader: zelvorn.Reader) -> None:
    reader.select()
    reader.login(1, stored=0)  # the demo reader stores A0A1A2A3A4A5 as key 0
    assert reader.read(4) == b"Hello, Zelvorn!\x00"
    reader.store_key(7, KEY_B_SECTOR_1)
    reader.login(1, key_type="B", stored=7)
    assert reader.read(6) == bytes(16)
    reader.login(0, reader_key=True)  # the reader's own key A, FF..FF as shipped
    assert reader.read(1)[:7] == b"Zelvorn"
    with pytest.raises(zelvorn.ReaderStatus):
        reader.login(1, stored=1)  # stored key 1 is the transport key


def test_chained_apdus(reader: zelvorn.Reader) -> None:
    reader.select(PROCESSOR_CARD)
    data = bytes((7 * i + 3) % 256 for i in range(300))
    with reader.connect_iso() as card:
        assert card.fsc == 32 and card.ats[1] & 0x0F == 2
        select_aid = bytes.fromhex("00A40400") + bytes([len(AID)]) + AID + b"\x00"
        assert card.transmit(select_aid).sw == 0x9000
        assert card.transmit(bytes.fromhex("00A4020C025001")).sw == 0x9000
        update = bytes.fromhex("00D60010") + b"\x00\x01\x2c" + data
        assert card.transmit(update).sw == 0x9000
        response = card.transmit(bytes.fromhex("00B00010") + b"\x00\x01\x2c")
        assert (response.data, response.sw1, response.sw2) == (data, 0x90, 0x00)
        assert card.transmit(bytes.fromhex("00B07FFF01")).sw == 0x6B00  # beyond the file
    assert not card.active
    reader.select(PROCESSOR_CARD)
    reader.connect_iso().deselect()  # the block state is free again


def test_type_b_and_ticket(reader: zelvorn.Reader) -> None:
    assert reader.atqb() == zelvorn.Atqb(bytes.fromhex("12345678"), bytes.fromhex("008171"))
    assert reader.ask_read(4) == bytes.fromhex("1234")
    assert reader.ask_read_multi(4) == bytes.fromhex("1234ABCD00000000")
    assert reader.ask_write(6, b"\x0f\xf0") == b"\x0f\xf0"
    # One-time-programmable sector 2: bits are ORed in, erasing is refused.
    assert reader.ask_write(2, b"\x01\x00", erase=False) == b"\x01\x00"
    assert reader.ask_write(2, b"\x02\x00", erase=False) == b"\x03\x00"
    with pytest.raises(zelvorn.ReaderStatus) as refused:
        reader.ask_write(2, b"\x00\x00")
    assert refused.value.status == 0xFFF2


def test_reader_control(reader: zelvorn.Reader) -> None:
    assert reader.version == "Zelvorn DLL 1.5.2.0"
    status = reader.status()
    assert status.block.startswith(b"Zelvorn virtual 1.0")
    assert (status.status_a, status.status_c) == (1, 6)  # field on, six cards
    reader.field(False)
    assert reader.status().status_a == 0
    with pytest.raises(zelvorn.ReaderStatus) as off:
        reader.select()
    assert off.value.status == 0xFFFD
    reader.field(True)
    reader.write_register(0x20, 0x5A)
    reader.write_eeprom(0x40, 0xA5)
    reader.write_user_port(0xFF)
    assert reader.read_register(0x20) == 0x5A and reader.read_eeprom(0x40) == 0xA5
    assert reader.read_user_port() & 0x44 == 0x44
    reader.reset()
    assert reader.read_register(0x20) == 0 and reader.read_eeprom(0x40) == 0xA5
