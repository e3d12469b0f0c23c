// zelvorn ndef read|write|format|lock: NDEF messages on the card in the
// field, a MIFARE Classic card through its MAD, a Type 2 tag (Ultralight,
// NTAG) through its capability container and TLVs, or a Type 4 tag through
// its NDEF application. The bytes are laid out by tool/ndef; this file only reads and
// writes them on the card and prints what they say.
#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "mifare/card_types.h"
#include "mifare/classic.h"
#include "tool/cli.h"
#include "tool/commands.h"
#include "tool/errors.h"
#include "tool/hex.h"
#include "tool/iso_card.h"
#include "tool/mifare_card.h"
#include "tool/ndef/mifare_classic.h"
#include "tool/ndef/records.h"
#include "tool/ndef/type2.h"
#include "tool/ndef/type4.h"
#include "tool/output_file.h"
#include "tool/type2/session.h"

namespace zelvorn::tool {
namespace {

using Json = nlohmann::ordered_json;
namespace classic = ndef::classic;

struct NdefOptions {
    std::string card;  // serial number; empty: the first card that can hold NDEF
    std::string rawOut;
    // What write puts on the card, in this order.
    std::string rawIn;
    std::vector<std::string> uris;
    std::vector<std::string> texts;
    std::string language = "en";
    std::vector<std::string> mime;  // type, file, type, file, ...
    bool yesReadOnly = false;       // lock: the user knows it cannot be undone
};

// --- The card -------------------------------------------------------------------

enum class TagKind { kClassic, kType2, kType4 };

struct Tag {
    TagKind kind;
    std::uint8_t type;
    Bytes serial;
    std::string product;  // a Type 2 tag's, once it has told it
};

std::string TagName(const Tag& tag) {
    return fmt::format("{} (type {:02X}), serial {}",
                       tag.product.empty() ? CardTypeName(tag.type) : tag.product, tag.type,
                       HexText(tag.serial, ""));
}

// The card asked for, or the first in the field that can hold NDEF: one with
// MIFARE Classic memory, a Type 2 tag (type byte 00) or an ISO/IEC 14443-4
// card. A card that has both is
// read as MIFARE Classic, where its NDEF lives when it was formatted by the
// tools of that card.
Tag FindTag(const ReaderSession& reader, const std::string& wanted) {
    const Bytes wantedSerial = wanted.empty() ? Bytes{} : ParseHex(wanted, "card serial number");
    for (const SeenCard& card : ScanField(reader.api(), reader.handle()).cards) {
        if (card.kind != SeenCard::Kind::TypeA) continue;
        if (!wantedSerial.empty() && card.serial != wantedSerial) continue;
        const mifare::CardType type = mifare::CardTypeOf(card.type);
        if (type.classicSectors > 0) return {TagKind::kClassic, card.type, card.serial, {}};
        if (type.isoDep) return {TagKind::kType4, card.type, card.serial, {}};
        // Its product is asked when it is spoken to, once.
        if (card.type == 0x00) return {TagKind::kType2, card.type, card.serial, {}};
        if (!wantedSerial.empty()) {
            throw ToolError(kExitNotFound,
                            fmt::format("the card {} ({}) holds no NDEF this tool can reach",
                                        wanted, CardTypeName(card.type)));
        }
    }
    throw ToolError(kExitNotFound,
                    wanted.empty()
                        ? "find an NDEF card: no MIFARE Classic card, Type 2 tag or ISO/IEC "
                          "14443-4 card in the field"
                        : fmt::format("find the card {}: it is not in the field", wanted));
}

// A MIFARE Classic card whose sectors open with public keys as key A: one
// login per sector while the blocks asked for stay in it.
class ClassicCard {
public:
    ClassicCard(const ReaderSession& reader, const Tag& tag) : card_(reader, TargetOf(tag)) {}

    int Sectors() const { return card_.SectorCount(); }

    // Logs in to the sector with the first key that opens it; false when
    // none does.
    bool Open(int sector, std::initializer_list<classic::Key> keys) {
        if (sector == open_) return true;
        std::vector<Credential> credentials;
        for (const classic::Key& key : keys) credentials.push_back(Given('A', key));
        std::int16_t refused = RESULT_OK;
        open_ = card_.Login(sector, credentials, 0, refused) >= 0 ? sector : -1;
        return open_ == sector;
    }

    classic::Block Read(int block) { return card_.Read(block); }
    void Write(int block, const classic::Block& data) { card_.Write(block, data); }

private:
    static MifareTarget TargetOf(const Tag& tag) {
        MifareTarget target;
        target.serial = tag.serial;
        target.keyType = "A";
        return target;
    }

    MifareCard card_;
    int open_ = -1;
};

// The NDEF sectors of a MIFARE Classic card, in the order the NDEF area runs
// through them, from the MAD read with the public keys.
std::vector<int> ReadNdefSectors(ClassicCard& card) {
    if (!card.Open(0, {classic::kMadKeyA, classic::kTransportKey})) {
        throw ndef::NdefError(
            "sector 0 opens with neither the MAD key nor the transport key: the card holds no "
            "MAD (format it for NDEF with zelvorn ndef format, if its keys allow)");
    }
    Bytes mad1;
    for (int block : {1, 2}) {
        const classic::Block b = card.Read(block);
        mad1.insert(mad1.end(), b.begin(), b.end());
    }
    const std::uint8_t gpb = card.Read(3)[mifare::kGeneralPurposeAt];
    Bytes mad2;
    if (classic::HasMad2(gpb) && card.Sectors() > classic::kMad2Sector) {
        if (!card.Open(classic::kMad2Sector, {classic::kMadKeyA, classic::kTransportKey})) {
            throw ndef::NdefError("sector 16 (the second MAD) opens with no public key");
        }
        for (int block = 64; block <= 66; ++block) {
            const classic::Block b = card.Read(block);
            mad2.insert(mad2.end(), b.begin(), b.end());
        }
    }
    try {
        return classic::NdefSectors(classic::ParseMad(mad1, gpb, mad2), card.Sectors());
    } catch (const ndef::NdefError& e) {
        throw ndef::NdefError(std::string(e.what()) + "; the command is zelvorn ndef format");
    }
}

// One data block of the NDEF area, its sector opened with the NFC Forum key.
void ReadAreaBlock(ClassicCard& card, int block, Bytes& area) {
    const int sector = mifare::SectorOf(block);
    if (!card.Open(sector, {classic::kNdefKeyA, classic::kTransportKey})) {
        throw ndef::NdefError(
            fmt::format("sector {}: the NFC Forum key D3F7D3F7D3F7 does not open it", sector));
    }
    const classic::Block b = card.Read(block);
    area.insert(area.end(), b.begin(), b.end());
}

// The NDEF sectors and the bytes of all their data blocks: what a write
// needs to place the message and keep the TLVs around it.
struct ClassicArea {
    std::vector<int> sectors;
    Bytes bytes;
};

ClassicArea ReadClassicArea(ClassicCard& card) {
    ClassicArea area;
    area.sectors = ReadNdefSectors(card);
    for (int block : classic::DataBlocks(area.sectors)) ReadAreaBlock(card, block, area.bytes);
    return area;
}

// Reads the blocks the TLVs need and no more: a short message on a card of
// fifteen NDEF sectors takes the logins and reads of its own sectors only.
Bytes ReadClassicMessage(ClassicCard& card) {
    const std::vector<int> sectors = ReadNdefSectors(card);
    const std::vector<int> blocks = classic::DataBlocks(sectors);
    Bytes area;
    std::size_t next = 0;
    for (;;) {
        const ndef::TlvScan scan = classic::ScanArea(sectors, area);
        if (scan.status == ndef::TlvScan::Status::kMessage) return scan.message;
        if (scan.status == ndef::TlvScan::Status::kNoNdef || next == blocks.size()) {
            throw ToolError(kExitNotFound, "the card's NDEF sectors hold no NDEF message");
        }
        do {
            ReadAreaBlock(card, blocks[next++], area);
        } while (area.size() < scan.needBytes && next < blocks.size());
    }
}

void WriteClassicMessage(ClassicCard& card, const Bytes& message) {
    const ClassicArea area = ReadClassicArea(card);
    const ndef::TlvScan scan = classic::ScanArea(area.sectors, area.bytes);
    const std::vector<classic::BlockWrite> plan =
        classic::WritePlan(area.sectors, message, area.bytes, scan.ndefAt);
    std::vector<int> checked;
    for (const classic::BlockWrite& write : plan) {
        const int sector = mifare::SectorOf(write.block);
        if (!card.Open(sector, {classic::kNdefKeyA})) {
            throw ndef::NdefError(fmt::format(
                "sector {}: the NFC Forum key D3F7D3F7D3F7 does not open it for writing", sector));
        }
        if (std::find(checked.begin(), checked.end(), sector) == checked.end()) {
            classic::CheckSectorWritable(sector, card.Read(mifare::TrailerOf(sector)));
            checked.push_back(sector);
        }
        card.Write(write.block, write.data);
    }
}

void FormatClassic(ClassicCard& card) {
    const std::vector<classic::BlockWrite> plan = classic::FormatPlan(card.Sectors());
    // Every sector must open with the transport key before anything is
    // written, so that a card is either formatted whole or left as it was.
    for (int sector = 0; sector < card.Sectors(); ++sector) {
        if (!card.Open(sector, {classic::kTransportKey})) {
            throw ToolError(kExitFailed,
                            fmt::format("format: sector {} does not open with the transport key "
                                        "FFFFFFFFFFFF; only a card in its factory state is "
                                        "formatted",
                                        sector));
        }
    }
    for (const classic::BlockWrite& write : plan) {
        if (!card.Open(mifare::SectorOf(write.block), {classic::kTransportKey})) {
            throw ToolError(kExitFailed, fmt::format("format: sector {} no longer opens",
                                                     mifare::SectorOf(write.block)));
        }
        card.Write(write.block, write.data);
    }
}

// --- Type 2 ----------------------------------------------------------------------

// A Type 2 tag's memory from page 0 to the end of its data area and its
// dynamic lock bytes: what the layout needs to find, write or lock NDEF.
struct Type2Tag {
    type2::Tag tag;
    zelvorn::type2::Product product;
    Bytes image;
};

Type2Tag ReadType2(const ReaderSession& reader, Tag& found) {
    type2::Tag tag = type2::ReaderTag(reader.api(), reader.handle(), found.serial);
    const zelvorn::type2::Product product = tag.Identify();
    found.product = product.name;
    const std::size_t end =
        product.dynamicLockPage != 0 ? product.dynamicLockPage + 1 : product.UserEnd();
    Bytes image = tag.Read(0, end);
    return {std::move(tag), product, std::move(image)};
}

void WriteType2(Type2Tag& t, const std::vector<ndef::type2::PageWrite>& plan) {
    for (const ndef::type2::PageWrite& write : plan) t.tag.Write(write.page, write.data);
}

// Reads the capability container with the first TLV bytes, then only the
// pages up to the end of the NDEF TLV: a short message on an NTAG216 takes
// two page reads, not the whole tag.
Bytes ReadType2Message(const ReaderSession& reader, Tag& found) {
    using zelvorn::type2::kPageSize;
    type2::Tag tag = type2::ReaderTag(reader.api(), reader.handle(), found.serial);
    const zelvorn::type2::Product product = tag.Identify();
    found.product = product.name;
    constexpr std::size_t kCcPage = 3;
    constexpr std::size_t kFirstPages = 4;  // what one READ answers
    // Pages 0 to 2 (serial number and static lock bytes) play no part in
    // reading: they stay zeros here and are never read.
    Bytes image(kCcPage * kPageSize, 0);
    std::size_t pages = kCcPage;
    const auto readUpTo = [&](std::size_t end) {
        const Bytes more = tag.Read(pages, end - pages);
        image.insert(image.end(), more.begin(), more.end());
        pages = end;
    };
    if (product.pages <= kCcPage) {
        throw ndef::NdefError(
            fmt::format("the {} has no page 3 for a capability container", product.name));
    }
    readUpTo(std::min(product.pages, kCcPage + kFirstPages));
    for (;;) {
        const ndef::TlvScan scan = ndef::type2::Read(image);
        if (scan.status == ndef::TlvScan::Status::kMessage) return scan.message;
        if (scan.status == ndef::TlvScan::Status::kNoNdef) {
            throw ToolError(kExitNotFound, "the tag's data area holds no NDEF message");
        }
        const std::size_t need = (scan.needBytes + kPageSize - 1) / kPageSize;
        if (need > product.pages || need <= pages) {
            throw ndef::NdefError(fmt::format(
                "the capability container gives a data area beyond the {}'s last page {}",
                product.name, product.pages - 1));
        }
        readUpTo(need);
    }
}

const ndef::type2::Product& NdefProduct(const Type2Tag& t) {
    const ndef::type2::Product* product = ndef::type2::ProductByName(t.product.name);
    if (product == nullptr) {
        throw ToolError(kExitFailed, fmt::format("format: the tag {} is not a product whose NDEF "
                                                 "layout is known",
                                                 t.product.name));
    }
    return *product;
}

// What makes a tag read-only for good: the capability container's write
// access byte 0F, the static lock bits of pages 3 to 15 and the dynamic lock
// bits of the pages after them. Page 3 and the lock bits are one-time
// programmable: bits once set stay set.
std::vector<ndef::type2::PageWrite> LockPlan(const Type2Tag& t) {
    using zelvorn::type2::kPageSize;
    std::vector<ndef::type2::PageWrite> plan;
    std::array<std::uint8_t, 4> cc{};
    std::copy_n(t.image.begin() + 3 * kPageSize, 4, cc.begin());
    if (cc[0] != ndef::type2::kCcMagic) {
        throw ToolError(kExitFailed, "lock: the tag has no capability container: format it first");
    }
    cc[3] = ndef::type2::kCcReadOnly;
    plan.push_back({3, cc});
    std::array<std::uint8_t, 4> locks{};
    std::copy_n(t.image.begin() + 2 * kPageSize, 4, locks.begin());
    locks[2] = locks[3] = 0xFF;
    plan.push_back({2, locks});
    if (t.product.dynamicLockPage != 0 && t.product.pagesPerLockBit != 0) {
        const std::size_t pages = t.product.UserEnd() - zelvorn::type2::kFirstDynamicPage;
        const std::size_t bits =
            (pages + t.product.pagesPerLockBit - 1) / t.product.pagesPerLockBit;
        std::array<std::uint8_t, 4> dynamic{};
        std::copy_n(t.image.begin() + t.product.dynamicLockPage * kPageSize, 4, dynamic.begin());
        for (std::size_t bit = 0; bit < bits && bit < 16; ++bit) {
            dynamic[bit / 8] = static_cast<std::uint8_t>(dynamic[bit / 8] | 1u << (bit % 8));
        }
        plan.push_back({t.product.dynamicLockPage, dynamic});
    }
    return plan;
}

// --- Type 4 ----------------------------------------------------------------------

// Runs a read or write flow of tool/ndef/type4.h on the selected card.
template <typename Flow>
void RunType4(const ReaderSession& reader, const Tag& tag, Flow& flow) {
    (void)SelectProcessorCard(reader, HexText(tag.serial, ""), true);
    (void)StartIsoSession(reader, 4);
    std::vector<std::uint8_t> response(kMaxApdu);
    try {
        int step = 0;
        while (const std::optional<Bytes> apdu = flow.Next()) {
            const std::size_t length =
                ExchangeApdu(reader, *apdu, response, fmt::format("exchange APDU {}", ++step));
            flow.Answer({response.data(), length});
        }
    } catch (...) {
        (void)reader.api().PICC_Deselect(reader.handle(), 0);
        throw;
    }
    Check(reader.api().PICC_Deselect(reader.handle(), 0), "deselect the card");
}

// --- Messages ---------------------------------------------------------------------

Bytes ReadFile(const std::string& path, const std::string& noun) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw UsageError(fmt::format("{} {}: cannot be read", noun, path));
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Json RecordJson(const ndef::TypedRecord& r) {
    using ndef::Kind;
    Json j;
    switch (r.kind) {
        case Kind::kEmpty:
            j["kind"] = "empty";
            break;
        case Kind::kText:
            j["kind"] = "text";
            j["language"] = r.language;
            j["text"] = r.text;
            if (r.utf16) j["encoding"] = "utf-16";
            break;
        case Kind::kUri:
            j["kind"] = "uri";
            j["uri"] = r.uri;
            break;
        case Kind::kSmartPoster:
            j["kind"] = "smart-poster";
            j["records"] = Json::array();
            for (const ndef::TypedRecord& inner : r.records)
                j["records"].push_back(RecordJson(inner));
            break;
        default:
            j["kind"] = r.kind == Kind::kMime          ? "mime"
                        : r.kind == Kind::kExternal    ? "external"
                        : r.kind == Kind::kAbsoluteUri ? "absolute-uri"
                        : r.kind == Kind::kWellKnown   ? "well-known"
                                                       : "unknown";
            if (!r.type.empty()) j["type"] = r.type;
            j["payload"] = HexText(r.payload, "");
            break;
    }
    if (!r.id.empty()) j["id"] = HexText(r.id, "");
    return j;
}

Bytes MessageToWrite(const NdefOptions& o) {
    std::vector<ndef::TypedRecord> records;
    if (!o.rawIn.empty()) {
        const Bytes raw = ReadFile(o.rawIn, "message file");
        for (ndef::TypedRecord& r : ndef::DecodeTyped(raw)) records.push_back(std::move(r));
    }
    for (const std::string& uri : o.uris) records.push_back(ndef::TypedRecord::Uri(uri));
    for (const std::string& text : o.texts) {
        records.push_back(ndef::TypedRecord::Text(text, o.language));
    }
    for (std::size_t i = 0; i + 1 < o.mime.size(); i += 2) {
        records.push_back(ndef::TypedRecord::Mime(o.mime[i], ReadFile(o.mime[i + 1], "file")));
    }
    if (records.empty()) {
        throw UsageError("no record given: name one with --uri, --text, --mime or --raw");
    }
    return ndef::EncodeTyped(records);
}

// NdefError from the layouts says what the card's memory or a message lacks:
// the user's to mend, not a failing reader.
template <typename F>
void Ndef(const std::string& step, F&& f) {
    try {
        f();
    } catch (const ndef::NdefError& e) {
        throw ToolError(kExitFailed, fmt::format("{}: {}", step, e.what()));
    }
}

int ReadCommand(Library& library, std::int16_t port, const NdefOptions& o, bool json) {
    ReaderSession reader(library, port);
    Tag tag = FindTag(reader, o.card);
    Bytes message;
    Ndef("read the NDEF message", [&] {
        if (tag.kind == TagKind::kClassic) {
            ClassicCard card(reader, tag);
            message = ReadClassicMessage(card);
        } else if (tag.kind == TagKind::kType2) {
            message = ReadType2Message(reader, tag);
        } else {
            ndef::type4::ReadFlow flow;
            RunType4(reader, tag, flow);
            message = flow.Message();
        }
    });
    std::vector<ndef::TypedRecord> records;
    Ndef("decode the NDEF message", [&] { records = ndef::DecodeTyped(message); });
    if (!o.rawOut.empty()) {
        WriteOutputFile(
            o.rawOut,
            std::string_view(reinterpret_cast<const char*>(message.data()), message.size()),
            "message file");
    }
    if (json) {
        Json out{{"card",
                  {{"type", fmt::format("{:02X}", tag.type)},
                   {"name", CardTypeName(tag.type)},
                   {"serial", HexText(tag.serial, "")}}},
                 {"message", HexText(message, "")},
                 {"records", Json::array()}};
        for (const ndef::TypedRecord& r : records) out["records"].push_back(RecordJson(r));
        fmt::print("{}\n", out.dump(2));
        return kExitOk;
    }
    fmt::print("Card: {}\n", TagName(tag));
    if (records.empty()) fmt::print("The NDEF message is empty\n");
    for (const ndef::TypedRecord& r : records) fmt::print("{}\n", ndef::Describe(r));
    return kExitOk;
}

int WriteCommand(Library& library, std::int16_t port, const NdefOptions& o, bool json) {
    Bytes message;
    Ndef("encode the NDEF message", [&] { message = MessageToWrite(o); });
    ReaderSession reader(library, port);
    Tag tag = FindTag(reader, o.card);
    Ndef("write the NDEF message", [&] {
        if (tag.kind == TagKind::kClassic) {
            ClassicCard card(reader, tag);
            WriteClassicMessage(card, message);
        } else if (tag.kind == TagKind::kType2) {
            Type2Tag t = ReadType2(reader, tag);
            WriteType2(t, ndef::type2::WritePlan(t.image, message));
        } else {
            ndef::type4::WriteFlow flow(message);
            RunType4(reader, tag, flow);
        }
    });
    if (json) {
        fmt::print("{}\n", Json{{"serial", HexText(tag.serial, "")},
                                {"written", HexText(message, "")},
                                {"bytes", message.size()}}
                               .dump(2));
    } else {
        fmt::print("Card: {}\nNDEF message of {} bytes written\n", TagName(tag), message.size());
    }
    return kExitOk;
}

int FormatCommand(Library& library, std::int16_t port, const NdefOptions& o, bool json) {
    ReaderSession reader(library, port);
    Tag tag = FindTag(reader, o.card);
    if (tag.kind == TagKind::kType4) {
        throw ToolError(kExitFailed,
                        "format: a Type 4 tag's NDEF application is made by its issuer, not "
                        "formatted by a reader; write to it with zelvorn ndef write");
    }
    Ndef("format the card", [&] {
        if (tag.kind == TagKind::kType2) {
            Type2Tag t = ReadType2(reader, tag);
            WriteType2(t, ndef::type2::FormatPlan(NdefProduct(t), t.image));
            return;
        }
        ClassicCard card(reader, tag);
        FormatClassic(card);
    });
    if (json) {
        fmt::print("{}\n", Json{{"serial", HexText(tag.serial, "")}, {"formatted", true}}.dump(2));
    } else {
        fmt::print("Card: {}\nFormatted for NDEF: {} and an empty NDEF message\n", TagName(tag),
                   tag.kind == TagKind::kType2 ? "the capability container" : "the MAD");
    }
    return kExitOk;
}

int LockCommand(Library& library, std::int16_t port, const NdefOptions& o, bool json) {
    if (!o.yesReadOnly) {
        throw UsageError(
            "lock makes the tag read-only for good (its lock bits can never be cleared): add "
            "--yes-make-read-only to do so");
    }
    ReaderSession reader(library, port);
    Tag tag = FindTag(reader, o.card);
    if (tag.kind != TagKind::kType2) {
        throw ToolError(kExitFailed, fmt::format("lock: {} is not a Type 2 tag; only Type 2 tags "
                                                 "are made read-only",
                                                 TagName(tag)));
    }
    Ndef("lock the tag", [&] {
        Type2Tag t = ReadType2(reader, tag);
        (void)ndef::type2::Read(t.image);  // an NDEF tag, readable, before it is locked
        WriteType2(t, LockPlan(t));
    });
    if (json) {
        fmt::print("{}\n", Json{{"serial", HexText(tag.serial, "")}, {"readOnly", true}}.dump(2));
    } else {
        fmt::print("Card: {}\nThe tag is read-only now\n", TagName(tag));
    }
    return kExitOk;
}

}  // namespace

void RegisterNdefCommands(CLI::App& app, Cli& cli) {
    auto* ndef = app.add_subcommand("ndef",
                                    "NDEF messages (URIs, texts, ...) on MIFARE Classic "
                                    "cards, Type 2 tags and Type 4 tags");
    ndef->require_subcommand(1);
    ndef->fallthrough();
    auto o = std::make_shared<NdefOptions>();
    ndef->add_option("-c,--card", o->card,
                     "Serial number of the card (default: the first card "
                     "that can hold NDEF)");

    auto* read = ndef->add_subcommand("read", "Read and print the NDEF message");
    read->add_option("--raw", o->rawOut, "Also write the message's bytes to FILE");
    read->callback([&cli, o] {
        cli.action = [&cli, o](Library& library) {
            return ReadCommand(library, cli.Port(), *o, cli.global.json);
        };
    });

    auto* write = ndef->add_subcommand(
        "write", "Write an NDEF message: the records of --raw, then --uri, --text, --mime");
    write->add_option("--uri", o->uris, "A URI record (repeatable)");
    write->add_option("--text", o->texts, "A text record (repeatable)");
    write->add_option("--lang", o->language, "Language of the text records (default en)");
    write->add_option("--mime", o->mime, "A media-type record: TYPE FILE (repeatable)")
        ->type_size(2);
    write->add_option("--raw", o->rawIn, "A message file whose records come first");
    write->callback([&cli, o] {
        cli.action = [&cli, o](Library& library) {
            return WriteCommand(library, cli.Port(), *o, cli.global.json);
        };
    });

    auto* lock = ndef->add_subcommand(
        "lock", "Make a Type 2 tag read-only for good (capability container and lock bits)");
    lock->add_flag("--yes-make-read-only", o->yesReadOnly,
                   "Confirm: the lock bits can never be cleared");
    lock->callback([&cli, o] {
        cli.action = [&cli, o](Library& library) {
            return LockCommand(library, cli.Port(), *o, cli.global.json);
        };
    });

    auto* format = ndef->add_subcommand(
        "format",
        "Make a MIFARE Classic card in its factory state, or a Type 2 tag whose page 3 is still "
        "blank, an empty NDEF card");
    format->callback([&cli, o] {
        cli.action = [&cli, o](Library& library) {
            return FormatCommand(library, cli.Port(), *o, cli.global.json);
        };
    });
}

}  // namespace zelvorn::tool
