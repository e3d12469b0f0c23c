// The message codec against the shared vectors (vectors.json, which the
// Python and .NET tests read as well), and what the vectors cannot say.
#include <fstream>
#include <map>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tool/ndef/records.h"
#include "tool/ndef/utf.h"

namespace zelvorn::ndef {
namespace {

using nlohmann::json;

Bytes FromHex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

TypedRecord FromJson(const json& j) {
    static const std::map<std::string, Kind> kinds = {{"empty", Kind::kEmpty},
                                                      {"text", Kind::kText},
                                                      {"uri", Kind::kUri},
                                                      {"smart-poster", Kind::kSmartPoster},
                                                      {"well-known", Kind::kWellKnown},
                                                      {"mime", Kind::kMime},
                                                      {"absolute-uri", Kind::kAbsoluteUri},
                                                      {"external", Kind::kExternal},
                                                      {"unknown", Kind::kUnknown}};
    TypedRecord r;
    r.kind = kinds.at(j.at("kind").get<std::string>());
    r.id = FromHex(j.value("id", ""));
    r.type = j.value("type", "");
    r.payload = FromHex(j.value("payload", ""));
    r.language = j.value("language", "");
    r.text = j.value("text", "");
    r.utf16 = j.value("encoding", "") == "utf-16";
    r.uri = j.value("uri", "");
    for (const json& inner : j.value("records", json::array()))
        r.records.push_back(FromJson(inner));
    return r;
}

std::vector<TypedRecord> RecordsFromJson(const json& list) {
    std::vector<TypedRecord> out;
    for (const json& j : list) out.push_back(FromJson(j));
    return out;
}

const json& Vectors() {
    static const json vectors = [] {
        std::ifstream in(ZELVORN_NDEF_VECTORS);
        return json::parse(in);
    }();
    return vectors;
}

std::string Name(const json& v) {
    return v.at("name").get<std::string>() + " (" + v.at("source").get<std::string>() + ")";
}

TEST(NdefVectors, DecodeAndEncode) {
    ASSERT_GT(Vectors().at("valid").size(), 80u);
    for (const json& v : Vectors().at("valid")) {
        SCOPED_TRACE(Name(v));
        const Bytes bytes = FromHex(v.at("hex"));
        const std::vector<TypedRecord> expected = RecordsFromJson(v.at("records"));
        std::vector<TypedRecord> decoded;
        ASSERT_NO_THROW(decoded = DecodeTyped(bytes));
        EXPECT_EQ(decoded, expected);
        const Bytes encoded = EncodeTyped(expected);
        EXPECT_EQ(encoded, FromHex(v.value("encoded", v.at("hex").get<std::string>())));
        EXPECT_EQ(DecodeTyped(encoded), expected);
    }
}

TEST(NdefVectors, MalformedInputIsRefused) {
    for (const json& v : Vectors().at("invalid")) {
        SCOPED_TRACE(Name(v));
        try {
            DecodeTyped(FromHex(v.at("hex")));
            ADD_FAILURE() << "accepted";
        } catch (const NdefError& e) {
            EXPECT_NE(std::string(e.what()).find(v.at("error").get<std::string>()),
                      std::string::npos)
                << e.what();
        }
    }
}

TEST(NdefVectors, UnencodableRecordsAreRefused) {
    for (const json& v : Vectors().at("unencodable")) {
        SCOPED_TRACE(v.at("name").get<std::string>());
        try {
            EncodeTyped(RecordsFromJson(v.at("records")));
            ADD_FAILURE() << "encoded";
        } catch (const NdefError& e) {
            EXPECT_NE(std::string(e.what()).find(v.at("error").get<std::string>()),
                      std::string::npos)
                << e.what();
        }
    }
}

// Every record header the decoder may meet, cut at every length: each prefix
// decodes or is refused, and never reads past its end (the sanitizer build
// watches the latter).
TEST(NdefMessage, EveryPrefixOfEveryVectorIsDecodedOrRefused) {
    for (const json& v : Vectors().at("valid")) {
        const Bytes bytes = FromHex(v.at("hex"));
        for (std::size_t n = 0; n < bytes.size(); ++n) {
            const Bytes prefix(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
            try {
                DecodeTyped(prefix);
                EXPECT_EQ(n, 0u) << v.at("name") << " cut to " << n << " bytes was accepted";
            } catch (const NdefError&) {
            }
        }
    }
}

TEST(NdefMessage, ErrorsNameTheRecordAndItsOffset) {
    try {
        DecodeMessage(
            FromHex("9101015500"
                    "55010041"));
        FAIL();
    } catch (const NdefError& e) {
        EXPECT_STREQ(e.what(), "record 1 at byte 5: unknown record (TNF 5) with a type");
    }
}

TEST(NdefMessage, RecordsThatCannotBeWrittenAreRefused) {
    struct Case {
        Record record;
        const char* error;
    };
    const Case cases[] = {
        {{Tnf::kUnchanged, {}, {}, {}}, "TNF 6 (unchanged) outside a chunked record"},
        {{Tnf::kReserved, {}, {}, {}}, "TNF 7 is reserved"},
        {{Tnf::kEmpty, {}, {}, {1}}, "empty record (TNF 0) with a type, ID or payload"},
    };
    for (const Case& c : cases) {
        const std::vector<Record> records{c.record};
        try {
            EncodeMessage(records);
            ADD_FAILURE() << c.error;
        } catch (const NdefError& e) {
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        }
    }
}

TEST(NdefMessage, PayloadLengthDecidesTheShortForm) {
    for (std::size_t n : {0u, 1u, 255u, 256u, 70000u}) {
        const std::vector<Record> records{{Tnf::kUnknown, {}, {}, Bytes(n, 0x5A)}};
        const Bytes bytes = EncodeMessage(records);
        EXPECT_EQ(bytes.size(), n + (n < 256 ? 3u : 6u)) << n;
        EXPECT_EQ((bytes[0] & 0x10) != 0, n < 256) << n;
        EXPECT_EQ(DecodeMessage(bytes), records) << n;
    }
}

TEST(NdefRecords, UriTakesTheLongestPrefix) {
    struct Case {
        const char* uri;
        std::uint8_t code;
    };
    const Case cases[] = {
        {"https://www.example.org", 0x02},
        {"https://example.org", 0x04},
        {"ftp://ftp.example.org", 0x08},
        {"urn:epc:id:x", 0x1E},
        {"urn:nfc:x", 0x23},
        {"HTTP://example.org", 0x00},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ToRecord(TypedRecord::Uri(c.uri)).payload.at(0), c.code) << c.uri;
    }
}

TEST(NdefRecords, Utf8IsCheckedStrictly) {
    struct Case {
        const char* hex;
        bool valid;
    };
    const Case cases[] = {
        {"", true},          {"7F", true},  {"C2A9", true},  {"E282AC", true},  {"F09F9880", true},
        {"F48FBFBF", true},  {"80", false}, {"C0AF", false}, {"E080AF", false}, {"EDA080", false},
        {"F4908080", false}, {"F8", false}, {"E282", false}, {"C2", false},     {"C241", false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsUtf8(FromHex(c.hex)), c.valid) << c.hex;
}

TEST(NdefRecords, DescribeGivesOneLine) {
    EXPECT_EQ(Describe(TypedRecord::Uri("https://example.org")), "URI https://example.org");
    EXPECT_EQ(Describe(TypedRecord::Text("Hallo", "de")), "Text [de] Hallo");
    EXPECT_EQ(
        Describe(TypedRecord::SmartPoster({TypedRecord::Uri("tel:1"), TypedRecord::Text("Call")})),
        "Smart Poster: URI tel:1; Text [en] Call");
    EXPECT_EQ(Describe(TypedRecord::Mime("text/vcard", Bytes(3))), "MIME text/vcard, 3 bytes");
    EXPECT_EQ(Describe(TypedRecord::External("android.com:pkg", Bytes(1))),
              "External type android.com:pkg, 1 byte");
}

}  // namespace
}  // namespace zelvorn::ndef
