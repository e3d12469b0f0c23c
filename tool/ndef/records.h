// The meaning of records: the NFC Forum well-known types Text ("T"), URI
// ("U") and Smart Poster ("Sp"), media types, external types, and every other
// record kept as it is.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tool/ndef/message.h"

namespace zelvorn::ndef {

enum class Kind {
    kEmpty,        // TNF 0
    kText,         // well-known "T": a text and its language
    kUri,          // well-known "U": a URI, abbreviated when written
    kSmartPoster,  // well-known "Sp": a nested message with one URI record
    kWellKnown,    // any other well-known type ("act", "s", "t", "Hr", ...), kept as it is
    kMime,         // TNF 2: a media type and an opaque payload
    kAbsoluteUri,  // TNF 3: the type is an absolute URI
    kExternal,     // TNF 4: "domain:type"
    kUnknown,      // TNF 5: an opaque payload
};

// A record by its meaning. Which fields count depends on the kind; the
// others stay empty. Every kind but kEmpty may carry an ID.
struct TypedRecord {
    Kind kind = Kind::kEmpty;
    Bytes id;
    std::string type;                  // kWellKnown, kMime, kAbsoluteUri, kExternal
    Bytes payload;                     // kWellKnown, kMime, kAbsoluteUri, kExternal, kUnknown
    std::string language;              // kText: an IANA language code ("en", "de-CH")
    std::string text;                  // kText, as UTF-8
    bool utf16 = false;                // kText: stored as UTF-16 rather than UTF-8
    std::string uri;                   // kUri, in full
    std::vector<TypedRecord> records;  // kSmartPoster: the records inside

    bool operator==(const TypedRecord&) const = default;

    static TypedRecord Text(std::string text, std::string language = "en", bool utf16 = false);
    static TypedRecord Uri(std::string uri);
    static TypedRecord SmartPoster(std::vector<TypedRecord> records);
    static TypedRecord Mime(std::string type, Bytes payload);
    static TypedRecord External(std::string type, Bytes payload);
};

// The URI abbreviations, by code 0x00..0x23: a URI record stores the code of
// its prefix and the rest of the URI.
extern const std::array<std::string_view, 36> kUriPrefixes;

// A record by its meaning. Throws NdefError for a Text, URI or Smart Poster
// payload that does not decode (the message says which field); other types
// are taken as they are. The records inside a Smart Poster are interpreted
// too, but a Smart Poster nested in one stays a kWellKnown record.
TypedRecord Interpret(const Record& record);

// The record to write. Throws NdefError for what cannot be written: text
// that is not UTF-8, a language code of other than 1..63 ASCII characters, a
// Smart Poster without exactly one URI record, fields the kind does not have
// room for.
Record ToRecord(const TypedRecord& record);

// DecodeMessage then Interpret; EncodeMessage of ToRecord.
std::vector<TypedRecord> DecodeTyped(std::span<const std::uint8_t> bytes);
Bytes EncodeTyped(std::span<const TypedRecord> records);

// One line for a person: "URI https://example.org", "Text [en] Hello".
std::string Describe(const TypedRecord& record);

}  // namespace zelvorn::ndef
