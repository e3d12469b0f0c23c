"""NDEF messages: the records that tags carry, as Python objects.

Encoding and decoding need no reader::

    from zelvorn import ndef

    data = ndef.encode_message([ndef.UriRecord("https://example.org")])
    assert data == bytes.fromhex("D1010C55046578616D706C652E6F7267")
    assert ndef.decode_message(data) == [ndef.UriRecord("https://example.org")]

The well-known types Text, URI (with its abbreviations) and Smart Poster are
decoded into their fields; media types, external types and every other
record are kept as they are. Chunked records are joined when read and never
written. Anything that cannot be decoded or encoded raises :class:`NdefError`.
"""

from __future__ import annotations

from dataclasses import dataclass, replace
from typing import List, NamedTuple, Optional, Sequence, Tuple, Union

#: The URI abbreviations by code 0x00..0x23: a URI record stores the code of
#: its prefix and the rest of the URI.
URI_PREFIXES: Tuple[str, ...] = (
    "", "http://www.", "https://www.", "http://", "https://", "tel:", "mailto:",
    "ftp://anonymous:anonymous@", "ftp://ftp.", "ftps://", "sftp://", "smb://", "nfs://",
    "ftp://", "dav://", "news:", "telnet://", "imap:", "rtsp://", "urn:", "pop:", "sip:", "sips:",
    "tftp:", "btspp://", "btl2cap://", "btgoep://", "tcpobex://", "irdaobex://", "file://",
    "urn:epc:id:", "urn:epc:tag:", "urn:epc:pat:", "urn:epc:raw:", "urn:epc:", "urn:nfc:",
)

# Header flags and type name formats.
_MB, _ME, _CF, _SR, _IL = 0x80, 0x40, 0x20, 0x10, 0x08
_EMPTY, _WELL_KNOWN, _MIME, _ABSOLUTE_URI, _EXTERNAL, _UNKNOWN, _UNCHANGED = range(7)
_UTF16 = 0x80
_LANGUAGE_LENGTH = 0x3F


class NdefError(ValueError):
    """A message or record that cannot be decoded or encoded; the message
    says what is wrong and, for a message, which record at which byte."""


@dataclass(frozen=True)
class TextRecord:
    """Well-known type "T": a text in a language (an IANA code such as "en"
    or "de-CH"), stored as UTF-8 or, with ``encoding="utf-16"``, UTF-16."""

    text: str
    language: str = "en"
    encoding: str = "utf-8"
    id: bytes = b""


@dataclass(frozen=True)
class UriRecord:
    """Well-known type "U": a URI, its prefix abbreviated when written."""

    uri: str
    id: bytes = b""


@dataclass(frozen=True)
class SmartPosterRecord:
    """Well-known type "Sp": a nested message with exactly one URI record and
    optionally titles (Text records), an action ("act"), a size ("s"), a type
    ("t") and icons, the latter kept as they are."""

    records: Tuple["Record", ...]
    id: bytes = b""

    @property
    def uri(self) -> Optional[str]:
        """The URI of the poster's URI record (None if it has none)."""
        return next((r.uri for r in self.records if isinstance(r, UriRecord)), None)

    @property
    def title(self) -> Optional[str]:
        """The text of the first title, or None."""
        return next((r.text for r in self.records if isinstance(r, TextRecord)), None)


@dataclass(frozen=True)
class MimeRecord:
    """A payload of a media type, such as "text/vcard" or
    "application/vnd.wfa.wsc"."""

    type: str
    payload: bytes = b""
    id: bytes = b""


@dataclass(frozen=True)
class ExternalRecord:
    """An external type, "domain:type" (such as "android.com:pkg")."""

    type: str
    payload: bytes = b""
    id: bytes = b""


@dataclass(frozen=True)
class AbsoluteUriRecord:
    """A record whose type is an absolute URI."""

    type: str
    payload: bytes = b""
    id: bytes = b""


@dataclass(frozen=True)
class WellKnownRecord:
    """Any other NFC Forum well-known type ("act", "s", "Hr", ...), kept as
    it is."""

    type: str
    payload: bytes = b""
    id: bytes = b""


@dataclass(frozen=True)
class UnknownRecord:
    """A payload of unknown type."""

    payload: bytes = b""
    id: bytes = b""


@dataclass(frozen=True)
class EmptyRecord:
    """The empty record: no type, no ID, no payload."""


Record = Union[TextRecord, UriRecord, SmartPosterRecord, MimeRecord, ExternalRecord,
               AbsoluteUriRecord, WellKnownRecord, UnknownRecord, EmptyRecord]


class _Raw(NamedTuple):
    tnf: int
    type: bytes
    id: bytes
    payload: bytes


def _field_problem(tnf: int, type_length: int, id_length: int, payload_length: int
                   ) -> Optional[str]:
    # What a TNF allows, the same when reading and writing.
    if tnf == _EMPTY:
        if type_length or id_length or payload_length:
            return "empty record (TNF 0) with a type, ID or payload"
        return None
    if tnf == _UNKNOWN:
        return "unknown record (TNF 5) with a type" if type_length else None
    if tnf in (_WELL_KNOWN, _MIME, _ABSOLUTE_URI, _EXTERNAL):
        return "record without a type (TNF 1 to 4 need one)" if not type_length else None
    if tnf == _UNCHANGED:
        return "TNF 6 (unchanged) outside a chunked record"
    return "TNF 7 is reserved"


def _printable(data: bytes) -> bool:
    return all(0x20 <= b <= 0x7E for b in data)


def _decode_raw(data: bytes) -> List[_Raw]:
    records: List[_Raw] = []
    pending: Optional[_Raw] = None  # a chunked record being joined
    chunks: List[bytes] = []
    pos = index = 0
    ended = False
    while pos < len(data):
        start = pos

        def fail(problem: str) -> NdefError:
            return NdefError(f"record {index} at byte {start}: {problem}")

        flags = data[pos]
        sr, il = bool(flags & _SR), bool(flags & _IL)
        header = 2 + (1 if sr else 4) + (1 if il else 0)
        if len(data) - pos < header:
            raise fail("the input ends inside the record header")
        type_length = data[pos + 1]
        payload_length = data[pos + 2] if sr else int.from_bytes(data[pos + 2:pos + 6], "big")
        id_length = data[pos + header - 1] if il else 0
        pos += header
        mb, me, cf = bool(flags & _MB), bool(flags & _ME), bool(flags & _CF)
        if index == 0 and not mb:
            raise fail("the first record lacks the message begin flag (MB)")
        if index > 0 and mb:
            raise fail("message begin flag (MB) on a record other than the first")
        tnf = flags & 0x07
        if pending is not None:
            if tnf != _UNCHANGED:
                raise fail("a chunk continuation must have TNF 6 (unchanged)")
            if type_length or id_length:
                raise fail("a chunk continuation carries a type or ID")
        else:
            problem = _field_problem(tnf, type_length, id_length, payload_length)
            if problem:
                raise fail(problem)
        if type_length + id_length + payload_length > len(data) - pos:
            raise fail("the input ends inside the record's type, ID or payload")
        type_ = data[pos:pos + type_length]
        pos += type_length
        id_ = data[pos:pos + id_length]
        pos += id_length
        payload = data[pos:pos + payload_length]
        pos += payload_length
        if pending is not None:
            chunks.append(payload)
            if not cf:
                records.append(pending._replace(payload=b"".join(chunks)))
                pending, chunks = None, []
        else:
            if not _printable(type_):
                raise fail("the record type is not printable ASCII")
            record = _Raw(tnf, type_, id_, payload)
            if cf:
                if tnf == _EMPTY:
                    raise fail("an empty record (TNF 0) cannot be chunked")
                pending, chunks = record, [payload]
            else:
                records.append(record)
        index += 1
        if me:
            if cf:
                raise fail("message end flag (ME) on a chunk that is not the last")
            if pos != len(data):
                raise fail("bytes follow the record with the message end flag (ME)")
            ended = True
    if data and not ended:
        raise NdefError("the message ends without a record carrying the message end flag (ME)")
    return records


def _encode_raw(records: Sequence[_Raw]) -> bytes:
    out = bytearray()
    for i, r in enumerate(records):
        def fail(problem: str) -> NdefError:
            return NdefError(f"record {i} cannot be written: {problem}")

        problem = _field_problem(r.tnf, len(r.type), len(r.id), len(r.payload))
        if problem:
            raise fail(problem)
        if len(r.type) > 255:
            raise fail("a type is at most 255 bytes")
        if len(r.id) > 255:
            raise fail("an ID is at most 255 bytes")
        if len(r.payload) > 0xFFFFFFFF:
            raise fail("a payload is at most 4294967295 bytes")
        if not _printable(r.type):
            raise fail("the record type is not printable ASCII")
        short = len(r.payload) < 256
        flags = (r.tnf | (_MB if i == 0 else 0) | (_ME if i == len(records) - 1 else 0)
                 | (_SR if short else 0) | (_IL if r.id else 0))
        out += bytes([flags, len(r.type)])
        out += len(r.payload).to_bytes(1 if short else 4, "big")
        if r.id:
            out.append(len(r.id))
        out += r.type + r.id + r.payload
    return bytes(out)


def _decode_text(payload: bytes) -> TextRecord:
    def fail(problem: str) -> NdefError:
        return NdefError(f"Text record: {problem}")

    if not payload:
        raise fail("empty payload")
    status = payload[0]
    length = status & _LANGUAGE_LENGTH
    if length == 0:
        raise fail("language code of length 0")
    if len(payload) - 1 < length:
        raise fail("the language code runs past the payload")
    language = payload[1:1 + length]
    if not all(b < 0x80 for b in language):
        raise fail("the language code is not ASCII")
    text = payload[1 + length:]
    if status & _UTF16:
        # Big-endian unless a byte order mark says otherwise.
        codec = "utf-16-be"
        if text[:2] == b"\xfe\xff":
            text = text[2:]
        elif text[:2] == b"\xff\xfe":
            text, codec = text[2:], "utf-16-le"
        try:
            decoded = text.decode(codec)
        except UnicodeDecodeError:
            raise fail("the text is not valid UTF-16") from None
        return TextRecord(decoded, language.decode("ascii"), "utf-16")
    try:
        return TextRecord(text.decode("utf-8"), language.decode("ascii"))
    except UnicodeDecodeError:
        raise fail("the text is not valid UTF-8") from None


def _decode_uri(payload: bytes) -> UriRecord:
    if not payload:
        raise NdefError("URI record: empty payload")
    if payload[0] >= len(URI_PREFIXES):
        raise NdefError(f"URI record: abbreviation code 0x{payload[0]:02X} is not defined")
    try:
        rest = payload[1:].decode("utf-8")
    except UnicodeDecodeError:
        raise NdefError("URI record: the URI is not valid UTF-8") from None
    return UriRecord(URI_PREFIXES[payload[0]] + rest)


def _check_one_uri(records: Sequence[Record]) -> None:
    uris = sum(1 for r in records if isinstance(r, UriRecord))
    if uris != 1:
        raise NdefError(f"Smart Poster record: it carries {uris} URI records, "
                        "exactly one is needed")


def _interpret(raw: _Raw, inside_smart_poster: bool = False) -> Record:
    record: Record
    if raw.tnf == _WELL_KNOWN and raw.type == b"T":
        record = _decode_text(raw.payload)
    elif raw.tnf == _WELL_KNOWN and raw.type == b"U":
        record = _decode_uri(raw.payload)
    elif raw.tnf == _WELL_KNOWN and raw.type == b"Sp" and not inside_smart_poster:
        try:
            inner = tuple(_interpret(r, True) for r in _decode_raw(raw.payload))
        except NdefError as e:
            raise NdefError(f"Smart Poster record: {e}") from None
        _check_one_uri(inner)
        record = SmartPosterRecord(inner)
    elif raw.tnf == _EMPTY:
        return EmptyRecord()
    elif raw.tnf == _UNKNOWN:
        record = UnknownRecord(raw.payload)
    elif raw.tnf == _WELL_KNOWN:
        record = WellKnownRecord(raw.type.decode("ascii"), raw.payload)
    elif raw.tnf == _MIME:
        record = MimeRecord(raw.type.decode("ascii"), raw.payload)
    elif raw.tnf == _ABSOLUTE_URI:
        record = AbsoluteUriRecord(raw.type.decode("ascii"), raw.payload)
    else:
        record = ExternalRecord(raw.type.decode("ascii"), raw.payload)
    return replace(record, id=raw.id) if raw.id else record


def _text_payload(r: TextRecord) -> bytes:
    def fail(problem: str) -> NdefError:
        return NdefError(f"Text record: {problem}")

    if not 1 <= len(r.language) <= _LANGUAGE_LENGTH or not r.language.isascii():
        raise fail(f'the language code must be 1 to 63 ASCII characters, not "{r.language}"')
    if r.encoding not in ("utf-8", "utf-16"):
        raise fail(f'the encoding is "utf-8" or "utf-16", not "{r.encoding}"')
    try:
        text = r.text.encode("utf-16-be" if r.encoding == "utf-16" else "utf-8")
    except UnicodeEncodeError:
        raise fail("the text is not valid UTF-8") from None
    status = len(r.language) | (_UTF16 if r.encoding == "utf-16" else 0)
    return bytes([status]) + r.language.encode("ascii") + text


def _uri_payload(r: UriRecord) -> bytes:
    try:
        r.uri.encode("utf-8")
    except UnicodeEncodeError:
        raise NdefError("URI record: the URI is not valid UTF-8") from None
    # The longest prefix that matches saves the most.
    code = max((i for i, p in enumerate(URI_PREFIXES) if r.uri.startswith(p)),
               key=lambda i: len(URI_PREFIXES[i]))
    return bytes([code]) + r.uri[len(URI_PREFIXES[code]):].encode("utf-8")


def _ascii(text: str) -> bytes:
    try:
        return text.encode("ascii")
    except UnicodeEncodeError:
        raise NdefError("the record type is not printable ASCII") from None


def _to_raw(r: Record) -> _Raw:
    if isinstance(r, EmptyRecord):
        return _Raw(_EMPTY, b"", b"", b"")
    if isinstance(r, TextRecord):
        return _Raw(_WELL_KNOWN, b"T", r.id, _text_payload(r))
    if isinstance(r, UriRecord):
        return _Raw(_WELL_KNOWN, b"U", r.id, _uri_payload(r))
    if isinstance(r, SmartPosterRecord):
        _check_one_uri(r.records)
        return _Raw(_WELL_KNOWN, b"Sp", r.id, _encode_raw([_to_raw(x) for x in r.records]))
    if isinstance(r, UnknownRecord):
        return _Raw(_UNKNOWN, b"", r.id, r.payload)
    if isinstance(r, WellKnownRecord):
        return _Raw(_WELL_KNOWN, _ascii(r.type), r.id, r.payload)
    if isinstance(r, MimeRecord):
        return _Raw(_MIME, _ascii(r.type), r.id, r.payload)
    if isinstance(r, AbsoluteUriRecord):
        return _Raw(_ABSOLUTE_URI, _ascii(r.type), r.id, r.payload)
    if isinstance(r, ExternalRecord):
        return _Raw(_EXTERNAL, _ascii(r.type), r.id, r.payload)
    raise TypeError(f"not an NDEF record: {type(r).__name__}")


def decode_message(data: bytes) -> List[Record]:
    """The records of an NDEF message. Empty input is the empty message.

    Raises:
        NdefError: the bytes are not a well-formed message, or a Text, URI
            or Smart Poster payload does not decode; the message names the
            record, its byte offset and the fault.
    """
    out: List[Record] = []
    for i, raw in enumerate(_decode_raw(bytes(data))):
        try:
            out.append(_interpret(raw))
        except NdefError as e:
            raise NdefError(f"record {i}: {e}") from None
    return out


def encode_message(records: Sequence[Record]) -> bytes:
    """The bytes of an NDEF message holding the records.

    Raises:
        NdefError: a record that cannot be written (a language code of other
            than 1..63 ASCII characters, a Smart Poster without exactly one
            URI record, a type that is not printable ASCII or longer than 255
            bytes, an ID longer than 255 bytes).
    """
    raws: List[_Raw] = []
    for i, record in enumerate(records):
        try:
            raws.append(_to_raw(record))
        except NdefError as e:
            raise NdefError(f"record {i} cannot be written: {e}") from None
    return _encode_raw(raws)


__all__ = [
    "AbsoluteUriRecord", "EmptyRecord", "ExternalRecord", "MimeRecord", "NdefError", "Record",
    "SmartPosterRecord", "TextRecord", "URI_PREFIXES", "UnknownRecord", "UriRecord",
    "WellKnownRecord", "decode_message", "encode_message",
]
