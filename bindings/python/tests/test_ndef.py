"""zelvorn.ndef against the message vectors the C++ and .NET tests share
(tool/ndef/tests/vectors.json: NFC Forum examples and public NDEF libraries'
test data, each named with its source)."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any, Dict, List

import pytest

from zelvorn import ndef

VECTORS = json.loads(
    (Path(__file__).resolve().parents[3] / "tool" / "ndef" / "tests" / "vectors.json").read_text("utf-8"))


def record(d: Dict[str, Any]) -> ndef.Record:
    id_ = bytes.fromhex(d.get("id", ""))
    payload = bytes.fromhex(d.get("payload", ""))
    kind = d["kind"]
    if kind == "empty":
        return ndef.EmptyRecord()
    if kind == "text":
        return ndef.TextRecord(d["text"], d["language"], d["encoding"], id_)
    if kind == "uri":
        return ndef.UriRecord(d["uri"], id_)
    if kind == "smart-poster":
        return ndef.SmartPosterRecord(tuple(record(r) for r in d["records"]), id_)
    if kind == "unknown":
        return ndef.UnknownRecord(payload, id_)
    classes = {"well-known": ndef.WellKnownRecord, "mime": ndef.MimeRecord,
               "absolute-uri": ndef.AbsoluteUriRecord, "external": ndef.ExternalRecord}
    return classes[kind](d["type"], payload, id_)


def records(ds: List[Dict[str, Any]]) -> List[ndef.Record]:
    return [record(d) for d in ds]


def label(v: Dict[str, Any]) -> str:
    return str(v["name"])


@pytest.mark.parametrize("vector", VECTORS["valid"], ids=label)
def test_decode_and_encode(vector: Dict[str, Any]) -> None:
    expected = records(vector["records"])
    assert ndef.decode_message(bytes.fromhex(vector["hex"])) == expected, vector["source"]
    encoded = ndef.encode_message(expected)
    assert encoded.hex().upper() == vector.get("encoded", vector["hex"])
    assert ndef.decode_message(encoded) == expected


@pytest.mark.parametrize("vector", VECTORS["invalid"], ids=label)
def test_malformed_input_is_refused(vector: Dict[str, Any]) -> None:
    with pytest.raises(ndef.NdefError) as raised:
        ndef.decode_message(bytes.fromhex(vector["hex"]))
    assert vector["error"] in str(raised.value)


@pytest.mark.parametrize("vector", VECTORS["unencodable"], ids=label)
def test_unencodable_records_are_refused(vector: Dict[str, Any]) -> None:
    with pytest.raises(ndef.NdefError) as raised:
        ndef.encode_message(records(vector["records"]))
    assert vector["error"] in str(raised.value)


def test_every_prefix_of_a_message_is_refused() -> None:
    data = bytes.fromhex(next(v["hex"] for v in VECTORS["valid"] if v["name"] == "vCard in a long record"))
    for n in range(1, len(data)):
        with pytest.raises(ndef.NdefError):
            ndef.decode_message(data[:n])


def test_module_example_and_smart_poster_fields() -> None:
    data = ndef.encode_message([ndef.UriRecord("https://example.org")])
    assert data == bytes.fromhex("D1010C55046578616D706C652E6F7267")
    assert ndef.decode_message(bytearray(data)) == [ndef.UriRecord("https://example.org")]
    poster = ndef.SmartPosterRecord((ndef.TextRecord("Call us"), ndef.UriRecord("tel:+1")))
    assert (poster.uri, poster.title) == ("tel:+1", "Call us")
    assert ndef.SmartPosterRecord(()).uri is None
    assert issubclass(ndef.NdefError, ValueError)
    with pytest.raises(TypeError, match="not an NDEF record: str"):
        ndef.encode_message(["https://example.org"])  # type: ignore[list-item]
    with pytest.raises(ndef.NdefError, match='the encoding is "utf-8" or "utf-16", not "latin-1"'):
        ndef.encode_message([ndef.TextRecord("x", encoding="latin-1")])
    with pytest.raises(ndef.NdefError, match="the text is not valid UTF-8"):
        ndef.encode_message([ndef.TextRecord("\ud800")])
