// NDEF messages as records: the record layer of the NFC Forum data format,
// without any meaning given to the payloads (records.h does that).
//
// A record starts with a header byte: MB (first record of the message), ME
// (last record), CF (a chunk follows), SR (one-byte payload length instead
// of four), IL (an ID length is present) and the TNF, the kind of type name,
// in its low three bits. Then come the type length, the payload length, the
// ID length (with IL), the type, the ID and the payload.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "tool/ndef/error.h"

namespace zelvorn::ndef {

// The type name format of a record.
enum class Tnf : std::uint8_t {
    kEmpty = 0,        // no type, no ID, no payload
    kWellKnown = 1,    // an NFC Forum record type ("T", "U", "Sp", ...)
    kMime = 2,         // a media type ("text/vcard")
    kAbsoluteUri = 3,  // an absolute URI names the type
    kExternal = 4,     // "domain:type"
    kUnknown = 5,      // a payload of unknown type
    kUnchanged = 6,    // the continuation chunks of a chunked record
    kReserved = 7,
};

// One record; a chunked record is one record here, its payload the chunks'
// payloads joined.
struct Record {
    Tnf tnf = Tnf::kEmpty;
    Bytes type;
    Bytes id;
    Bytes payload;

    bool operator==(const Record&) const = default;
};

// The records of a message. An empty input is the empty message (what an
// NDEF TLV of length 0 holds). Chunks are joined into their record. Throws
// NdefError, naming the record and its byte offset, for anything malformed:
// a field running past the input, flags out of place, a TNF that does not
// allow the fields present, a type that is not printable ASCII, bytes after
// the last record.
std::vector<Record> DecodeMessage(std::span<const std::uint8_t> bytes);

// The bytes of a message: short records where the payload allows, never
// chunks. Throws NdefError for a record that cannot be written (TNF 6 or 7,
// fields the TNF does not allow, a type or ID over 255 bytes).
Bytes EncodeMessage(std::span<const Record> records);

}  // namespace zelvorn::ndef
