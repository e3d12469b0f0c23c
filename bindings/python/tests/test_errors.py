"""Every error class, raised where it should be, with code, name and function."""

from __future__ import annotations

import gc
import json
import pickle
from pathlib import Path
from typing import Any, Callable, Dict

import pytest

import zelvorn

CARD = {"type": "mifare-classic-1k", "serial": "01020304"}


@pytest.mark.parametrize("call, function", [
    (lambda r: r.read(256), "Zelvorn_Read"),
    (lambda r: r.write(4, bytes(15)), "Zelvorn_Write"),
    (lambda r: r.login(0, bytes(5)), "Zelvorn_Login"),
    (lambda r: r.login(0, bytes(6), stored=1), "Zelvorn_Login"),
    (lambda r: r.login(0, bytes(6), "F"), "Zelvorn_Login"),
    (lambda r: r.set_value(4, 2**31), "Zelvorn_WriteValue"),
    (lambda r: r.select(bytes(5)), "Zelvorn_MultiTagSelect"),
    (lambda r: r.store_key(-1, bytes(6)), "Zelvorn_WriteMasterKey"),
    (lambda r: r.telegram(bytes(120)), "Zelvorn_TxDataTelegram"),
    (lambda r: r.ask_write(4, b"\x01"), "Zelvorn_ASKSectorWrite"),
    (lambda r: zelvorn.open(20, library=r.library.path), "Zelvorn_Open"),
])
def test_invalid_parameter(reader: zelvorn.Reader, call: Callable[[zelvorn.Reader], Any],
                           function: str) -> None:
    # Checked before the call: ctypes would cut a 256 to 0 on the way.
    with pytest.raises(zelvorn.InvalidParameter) as raised:
        call(reader)
    assert isinstance(raised.value, ValueError)
    assert (raised.value.code, raised.value.name, raised.value.function) == (
        -2030, "ERR_INVALID_PARAMETER", function)


def test_handles_and_sessions(reader: zelvorn.Reader) -> None:
    reader.select(bytes.fromhex("045A454C564F01"))
    session = reader.connect_iso()
    with pytest.raises(zelvorn.DeviceBusy, match="block state"):
        reader.connect_iso()  # one block state per loaded library
    with pytest.raises(zelvorn.DeviceBusy, match="already open"):
        zelvorn.open(0, library=reader.library.path)
    reader.select()  # another card: the session is over, the state free
    with pytest.raises(zelvorn.InvalidHandle, match="session has ended"):
        session.transmit(b"\x00\xa4\x00\x00")
    reader.close()
    reader.close()
    with pytest.raises(zelvorn.InvalidHandle) as closed:
        reader.read(0)
    assert (closed.value.code, closed.value.function) == (-2020, "Zelvorn_Read")
    with zelvorn.open(0, library=reader.library.path) as again:  # the port is free again
        assert again.select().type == 0x08
    zelvorn.open(0, library=reader.library.path)  # dropped: closed when collected
    gc.collect()
    assert reader.library.raw.Zelvorn_Close(0) == -2020  # the slot is empty


@pytest.mark.parametrize("scenario, error, code", [
    ({"cards": [CARD], "faults": {"corruptChecksums": 2}}, zelvorn.Failure, -1000),
    ({"cards": [CARD], "faults": {"refuseCommands": 2}}, zelvorn.ReaderStatus, 0x6F00),
    ({"cards": []}, zelvorn.NoCard, -1),
])
def test_library_and_reader_results(scenario_reader: Callable[[Dict[str, Any]], zelvorn.Reader],
                                    scenario: Dict[str, Any], error: type, code: int) -> None:
    # Opening resets the reader, which takes the first fault.
    reader = scenario_reader(scenario)
    with pytest.raises(error) as raised:
        reader.select()
    assert raised.value.code == code and raised.value.function == "Zelvorn_Select"
    assert str(code) in str(raised.value) and raised.value.name in str(raised.value)
    if isinstance(raised.value, zelvorn.ReaderStatus):
        assert raised.value.name == f"reader status 0x{code & 0xFFFF:04X}"
    copy = pickle.loads(pickle.dumps(raised.value))
    assert (type(copy), str(copy), copy.code) == (error, str(raised.value), code)


KEY_SECTOR_1 = bytes.fromhex("A0A1A2A3A4A5")


@pytest.mark.parametrize("scenario, call, error, said", [
    (None, lambda r: (r.select(), r.login(1, zelvorn.TRANSPORT_KEY)), zelvorn.AuthenticationFailed,
     "reader status 0xFFFC (-4), authentication failed: the card refused the key; check the key"),
    (None, lambda r: (r.select(), r.login(1, KEY_SECTOR_1), r.increment(5, 1)), zelvorn.AccessDenied,
     "access denied: the sector's access bits forbid this with the key used; log in with"),
    ({"cards": []}, lambda r: r.select(), zelvorn.NoCard,
     "no card: no card of the kind asked for answered; put the card on the reader"),
    (None, lambda r: (r.field(False), r.select()), zelvorn.NoCard,
     "field off: the RF field is switched off"),
    (None, lambda r: (r.select(), r.login(1, KEY_SECTOR_1), r.set_value(6, 2**31 - 1),
                      r.increment(6, 1)), zelvorn.ReaderStatus,
     "value overflow: the result would not fit 32 bits"),
    ({"cards": [CARD], "faults": {"refuseCommands": 2}}, lambda r: r.select(), zelvorn.ReaderStatus,
     "reader status 0x6F00 (28416), busy: the reader did not take the command"),
    ({"cards": [CARD], "faults": {"refuseCommands": 2, "refusalStatus": 0x6A80}},
     lambda r: r.select(), zelvorn.ReaderStatus, "a status word the library does not know"),
])
def test_reader_statuses_by_name_and_meaning(
        scenario_reader: Callable[[Dict[str, Any]], zelvorn.Reader], demo: Path,
        scenario: Dict[str, Any], call: Callable[[zelvorn.Reader], Any], error: type,
        said: str) -> None:
    with scenario_reader(scenario or json.loads(demo.read_text())) as r:
        with pytest.raises(zelvorn.ReaderStatus) as raised:
            call(r)
    e = raised.value
    assert type(e) is error and said in str(e)
    info = zelvorn.status_word(e.code)
    assert (e.status_name, e.meaning) == ((info.name, info.meaning) if info else (None, None))
    assert e.card_gone == isinstance(e, zelvorn.NoCard) == bool(info and info.card_gone)
    assert info is None or f"{info.name}: {info.meaning}" in str(e)


def test_open_failed(virtual_copy: Path, tmp_path: Path) -> None:
    with pytest.raises(zelvorn.OpenFailed) as no_reader:
        zelvorn.open_virtual(1, library=virtual_copy)  # the virtual reader is port 0 only
    assert (no_reader.value.code, no_reader.value.function) == (-2000, "Zelvorn_Open")
    broken = tmp_path / "broken.json"
    broken.write_text('{"cards": [{"type": "floppy"}]}')
    other = tmp_path / "other.so"
    other.write_bytes(virtual_copy.read_bytes())
    with pytest.raises(zelvorn.OpenFailed):
        zelvorn.open_virtual(scenario=broken, library=other)
    assert zelvorn.readers(library=other) == []


@pytest.mark.parametrize("command, call", [
    (0x06, lambda r: r.read(4)),
    (0x07, lambda r: r.value(5)),
    (0x00, lambda r: r.select()),
    (0x18, lambda r: r.status()),
    (0x21, lambda r: r.atqb()),
    (0x34, lambda r: r.ask_read(0)),
    (0x14, lambda r: r.read_user_port()),
])
def test_a_reply_of_the_wrong_length_is_a_failure_not_data(
        scenario_reader: Callable[[Dict[str, Any]], zelvorn.Reader], demo: Path, command: int,
        call: Callable[[zelvorn.Reader], Any]) -> None:
    # The library reports success and leaves its outputs alone (its contract);
    # the package must not hand them out as what the reader said.
    scenario = json.loads(demo.read_text())
    scenario["faults"] = {"shortReplies": [command]}
    with scenario_reader(scenario) as r:
        if command in (0x06, 0x07):
            r.select()
            r.login(1, bytes.fromhex("A0A1A2A3A4A5"))
        with pytest.raises(zelvorn.Failure, match="not as long as the command"):
            call(r)
