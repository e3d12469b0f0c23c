#include "tool/ndef/records.h"

#include <algorithm>

#include "tool/ndef/utf.h"

namespace zelvorn::ndef {

const std::array<std::string_view, 36> kUriPrefixes = {
    "",
    "http://www.",
    "https://www.",
    "http://",
    "https://",
    "tel:",
    "mailto:",
    "ftp://anonymous:anonymous@",
    "ftp://ftp.",
    "ftps://",
    "sftp://",
    "smb://",
    "nfs://",
    "ftp://",
    "dav://",
    "news:",
    "telnet://",
    "imap:",
    "rtsp://",
    "urn:",
    "pop:",
    "sip:",
    "sips:",
    "tftp:",
    "btspp://",
    "btl2cap://",
    "btgoep://",
    "tcpobex://",
    "irdaobex://",
    "file://",
    "urn:epc:id:",
    "urn:epc:tag:",
    "urn:epc:pat:",
    "urn:epc:raw:",
    "urn:epc:",
    "urn:nfc:",
};

namespace {

constexpr std::uint8_t kUtf16Flag = 0x80;
constexpr std::uint8_t kLanguageLengthMask = 0x3F;

Bytes ToBytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}
std::string ToString(std::span<const std::uint8_t> bytes) {
    return std::string(bytes.begin(), bytes.end());
}
bool IsAscii(std::span<const std::uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b < 0x80; });
}

[[noreturn]] void Fail(const char* what, const std::string& problem) {
    throw NdefError(std::string(what) + " record: " + problem);
}

TypedRecord InterpretText(std::span<const std::uint8_t> payload) {
    if (payload.empty()) Fail("Text", "empty payload");
    const std::uint8_t status = payload[0];
    const std::size_t languageLength = status & kLanguageLengthMask;
    if (languageLength == 0) Fail("Text", "language code of length 0");
    if (payload.size() - 1 < languageLength)
        Fail("Text", "the language code runs past the payload");
    const auto language = payload.subspan(1, languageLength);
    if (!IsAscii(language)) Fail("Text", "the language code is not ASCII");
    auto text = payload.subspan(1 + languageLength);
    TypedRecord out;
    out.kind = Kind::kText;
    out.language = ToString(language);
    out.utf16 = (status & kUtf16Flag) != 0;
    if (out.utf16) {
        // Big-endian unless a byte order mark says otherwise.
        bool bigEndian = true;
        if (text.size() >= 2 && text[0] == 0xFE && text[1] == 0xFF) {
            text = text.subspan(2);
        } else if (text.size() >= 2 && text[0] == 0xFF && text[1] == 0xFE) {
            text = text.subspan(2), bigEndian = false;
        }
        auto decoded = Utf16ToUtf8(text, bigEndian);
        if (!decoded) Fail("Text", "the text is not valid UTF-16");
        out.text = std::move(*decoded);
    } else {
        if (!IsUtf8(text)) Fail("Text", "the text is not valid UTF-8");
        out.text = ToString(text);
    }
    return out;
}

TypedRecord InterpretUri(std::span<const std::uint8_t> payload) {
    if (payload.empty()) Fail("URI", "empty payload");
    if (payload[0] >= kUriPrefixes.size()) {
        Fail("URI", "abbreviation code " + HexByte(payload[0]) + " is not defined");
    }
    const auto rest = payload.subspan(1);
    if (!IsUtf8(rest)) Fail("URI", "the URI is not valid UTF-8");
    TypedRecord out;
    out.kind = Kind::kUri;
    out.uri = std::string(kUriPrefixes[payload[0]]) + ToString(rest);
    return out;
}

std::size_t CountUris(const std::vector<TypedRecord>& records) {
    return static_cast<std::size_t>(std::count_if(
        records.begin(), records.end(), [](const auto& r) { return r.kind == Kind::kUri; }));
}

void CheckOneUri(const std::vector<TypedRecord>& records) {
    const std::size_t uris = CountUris(records);
    if (uris != 1) {
        Fail("Smart Poster",
             "it carries " + std::to_string(uris) + " URI records, exactly one is needed");
    }
}

bool IsWellKnown(const Record& record, std::string_view type) {
    return record.tnf == Tnf::kWellKnown && ToString(record.type) == type;
}

TypedRecord InterpretRecord(const Record& record, bool insideSmartPoster) {
    TypedRecord out;
    if (IsWellKnown(record, "T")) {
        out = InterpretText(record.payload);
    } else if (IsWellKnown(record, "U")) {
        out = InterpretUri(record.payload);
    } else if (IsWellKnown(record, "Sp") && !insideSmartPoster) {
        out.kind = Kind::kSmartPoster;
        try {
            for (const Record& inner : DecodeMessage(record.payload)) {
                out.records.push_back(InterpretRecord(inner, true));
            }
        } catch (const NdefError& e) {
            Fail("Smart Poster", e.what());
        }
        CheckOneUri(out.records);
    } else {
        switch (record.tnf) {
            case Tnf::kEmpty:
                return out;
            case Tnf::kWellKnown:
                out.kind = Kind::kWellKnown;
                break;
            case Tnf::kMime:
                out.kind = Kind::kMime;
                break;
            case Tnf::kAbsoluteUri:
                out.kind = Kind::kAbsoluteUri;
                break;
            case Tnf::kExternal:
                out.kind = Kind::kExternal;
                break;
            case Tnf::kUnknown:
                out.kind = Kind::kUnknown;
                break;
            case Tnf::kUnchanged:
            case Tnf::kReserved:
                throw NdefError("TNF " + std::to_string(static_cast<int>(record.tnf)) +
                                " does not name a record");
        }
        out.type = ToString(record.type);
        out.payload = record.payload;
    }
    out.id = record.id;
    return out;
}

Record TextToRecord(const TypedRecord& r) {
    if (r.language.empty() || r.language.size() > kLanguageLengthMask ||
        !IsAscii(ToBytes(r.language))) {
        Fail("Text",
             "the language code must be 1 to 63 ASCII characters, not \"" + r.language + "\"");
    }
    if (!IsUtf8(r.text)) Fail("Text", "the text is not valid UTF-8");
    Record out{Tnf::kWellKnown, ToBytes("T"), r.id, {}};
    out.payload.push_back(
        static_cast<std::uint8_t>(r.language.size() | (r.utf16 ? kUtf16Flag : 0)));
    out.payload.insert(out.payload.end(), r.language.begin(), r.language.end());
    const Bytes text = r.utf16 ? Utf8ToUtf16BigEndian(r.text) : ToBytes(r.text);
    out.payload.insert(out.payload.end(), text.begin(), text.end());
    return out;
}

Record UriToRecord(const TypedRecord& r) {
    if (!IsUtf8(r.uri)) Fail("URI", "the URI is not valid UTF-8");
    // The longest prefix that matches saves the most.
    std::size_t code = 0;
    for (std::size_t i = 1; i < kUriPrefixes.size(); ++i) {
        if (r.uri.starts_with(kUriPrefixes[i]) &&
            kUriPrefixes[i].size() > kUriPrefixes[code].size()) {
            code = i;
        }
    }
    Record out{Tnf::kWellKnown, ToBytes("U"), r.id, {static_cast<std::uint8_t>(code)}};
    out.payload.insert(out.payload.end(), r.uri.begin() + kUriPrefixes[code].size(), r.uri.end());
    return out;
}

}  // namespace

TypedRecord TypedRecord::Text(std::string text, std::string language, bool utf16) {
    TypedRecord r;
    r.kind = Kind::kText;
    r.text = std::move(text);
    r.language = std::move(language);
    r.utf16 = utf16;
    return r;
}

TypedRecord TypedRecord::Uri(std::string uri) {
    TypedRecord r;
    r.kind = Kind::kUri;
    r.uri = std::move(uri);
    return r;
}

TypedRecord TypedRecord::SmartPoster(std::vector<TypedRecord> records) {
    TypedRecord r;
    r.kind = Kind::kSmartPoster;
    r.records = std::move(records);
    return r;
}

TypedRecord TypedRecord::Mime(std::string type, Bytes payload) {
    TypedRecord r;
    r.kind = Kind::kMime;
    r.type = std::move(type);
    r.payload = std::move(payload);
    return r;
}

TypedRecord TypedRecord::External(std::string type, Bytes payload) {
    TypedRecord r;
    r.kind = Kind::kExternal;
    r.type = std::move(type);
    r.payload = std::move(payload);
    return r;
}

TypedRecord Interpret(const Record& record) {
    return InterpretRecord(record, false);
}

Record ToRecord(const TypedRecord& r) {
    switch (r.kind) {
        case Kind::kEmpty:
            return Record{Tnf::kEmpty, {}, r.id, {}};
        case Kind::kText:
            return TextToRecord(r);
        case Kind::kUri:
            return UriToRecord(r);
        case Kind::kSmartPoster: {
            CheckOneUri(r.records);
            std::vector<Record> inner;
            for (const TypedRecord& nested : r.records) inner.push_back(ToRecord(nested));
            return Record{Tnf::kWellKnown, ToBytes("Sp"), r.id, EncodeMessage(inner)};
        }
        case Kind::kWellKnown:
            return Record{Tnf::kWellKnown, ToBytes(r.type), r.id, r.payload};
        case Kind::kMime:
            return Record{Tnf::kMime, ToBytes(r.type), r.id, r.payload};
        case Kind::kAbsoluteUri:
            return Record{Tnf::kAbsoluteUri, ToBytes(r.type), r.id, r.payload};
        case Kind::kExternal:
            return Record{Tnf::kExternal, ToBytes(r.type), r.id, r.payload};
        case Kind::kUnknown:
            break;
    }
    return Record{Tnf::kUnknown, {}, r.id, r.payload};
}

std::vector<TypedRecord> DecodeTyped(std::span<const std::uint8_t> bytes) {
    const std::vector<Record> records = DecodeMessage(bytes);
    std::vector<TypedRecord> out;
    for (std::size_t i = 0; i < records.size(); ++i) {
        try {
            out.push_back(Interpret(records[i]));
        } catch (const NdefError& e) {
            throw NdefError("record " + std::to_string(i) + ": " + e.what());
        }
    }
    return out;
}

Bytes EncodeTyped(std::span<const TypedRecord> records) {
    std::vector<Record> raw;
    for (std::size_t i = 0; i < records.size(); ++i) {
        try {
            raw.push_back(ToRecord(records[i]));
        } catch (const NdefError& e) {
            throw NdefError("record " + std::to_string(i) + " cannot be written: " + e.what());
        }
    }
    return EncodeMessage(raw);
}

std::string Describe(const TypedRecord& r) {
    const auto size = [](const Bytes& payload) {
        return std::to_string(payload.size()) + (payload.size() == 1 ? " byte" : " bytes");
    };
    switch (r.kind) {
        case Kind::kEmpty:
            return "Empty record";
        case Kind::kText:
            return "Text [" + r.language + "] " + r.text;
        case Kind::kUri:
            return "URI " + r.uri;
        case Kind::kSmartPoster: {
            std::string out = "Smart Poster:";
            for (std::size_t i = 0; i < r.records.size(); ++i) {
                out += (i == 0 ? " " : "; ") + Describe(r.records[i]);
            }
            return out;
        }
        case Kind::kWellKnown:
            return "Well-known type " + r.type + ", " + size(r.payload);
        case Kind::kMime:
            return "MIME " + r.type + ", " + size(r.payload);
        case Kind::kAbsoluteUri:
            return "Absolute URI type " + r.type + ", " + size(r.payload);
        case Kind::kExternal:
            return "External type " + r.type + ", " + size(r.payload);
        case Kind::kUnknown:
            break;
    }
    return "Unknown type, " + size(r.payload);
}

}  // namespace zelvorn::ndef
