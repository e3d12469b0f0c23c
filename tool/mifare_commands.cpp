// MIFARE Classic: whole-card dump to the screen or a file, restore from a
// file, one block, value blocks, keys stored in the reader.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "tool/cli.h"
#include "tool/commands.h"
#include "tool/dump_file.h"
#include "tool/errors.h"
#include "tool/hex.h"
#include "tool/mifare_layout.h"
#include "tool/written.h"

#if defined(_WIN32)
#include <io.h>
#define ZELVORN_ISATTY _isatty
#define ZELVORN_FILENO _fileno
#else
#include <unistd.h>
#define ZELVORN_ISATTY isatty
#define ZELVORN_FILENO fileno
#endif

namespace zelvorn::tool {
namespace {

// The reader keeps 16 keys of its own under the numbers 0..15, and three
// more, its keys A, B and F, under 0xAA, 0xBB and 0xFF.
constexpr int kStoredKeyCount = 16;

struct MifareOptions {
    std::vector<std::string> keys;        // -k: 12 hexadecimal digits each
    std::string keyFile;                  // -K: a key dictionary
    std::vector<int> storedKeys;          // -s: key numbers stored in the reader
    std::vector<std::string> readerKeys;  // -r: the reader's own keys A, B, F
    std::string keyType = "both";         // A, B or both
    std::string card;                     // serial number; empty: the first MIFARE card
};

// One way to log in to a sector.
struct Credential {
    std::uint8_t keyType;
    std::uint8_t storedKeyNo;
    Key key;
    char kind;      // 'A' or 'B': the key the card checks
    bool keyKnown;  // the key's value is known to the tool (not held by the reader)
    std::string label;
};

Credential Given(char kind, const Key& key) {
    return {static_cast<std::uint8_t>(kind == 'A' ? KEYTYPE_A : KEYTYPE_B),
            0,
            key,
            kind,
            true,
            fmt::format("key {} {}", kind, HexText(key, ""))};
}

std::vector<Credential> Credentials(const MifareOptions& o) {
    std::vector<Key> keys;
    for (const std::string& text : o.keys) {
        const Bytes bytes = ParseHex(text, "key", 6);
        Key key{};
        std::copy(bytes.begin(), bytes.end(), key.begin());
        keys.push_back(key);
    }
    if (!o.keyFile.empty()) {
        for (const Key& key : LoadKeyDictionary(o.keyFile)) {
            if (std::find(keys.begin(), keys.end(), key) == keys.end()) keys.push_back(key);
        }
    }
    // A card fresh from the factory opens with the transport key.
    if (keys.empty() && o.storedKeys.empty() && o.readerKeys.empty())
        keys.push_back(Key{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});

    std::vector<char> kinds;
    if (o.keyType != "B" && o.keyType != "b") kinds.push_back('A');
    if (o.keyType != "A" && o.keyType != "a") kinds.push_back('B');
    std::vector<Credential> out;
    for (const char kind : kinds) {
        for (const Key& key : keys) out.push_back(Given(kind, key));
        for (const int n : o.storedKeys) {
            out.push_back(
                {static_cast<std::uint8_t>(kind == 'A' ? KEYTYPE_STORED_A : KEYTYPE_STORED_B),
                 static_cast<std::uint8_t>(n), Key{}, kind, false,
                 fmt::format("stored key {} as key {}", n, kind)});
        }
    }
    // The reader's own keys: A and F log in as key A, B as key B.
    for (const std::string& r : o.readerKeys) {
        const char which = static_cast<char>(std::toupper(static_cast<unsigned char>(r[0])));
        const std::uint8_t type = which == 'A'   ? KEYTYPE_READER_A
                                  : which == 'B' ? KEYTYPE_READER_B
                                                 : KEYTYPE_READER_F;
        out.push_back({type, 0, Key{}, which == 'B' ? 'B' : 'A', false,
                       fmt::format("the reader's key {}", which)});
    }
    return out;
}

// The card asked for and the ways to log in to it, checked before anything is
// loaded or sent.
struct MifareTarget {
    std::vector<Credential> credentials;
    Bytes serial;  // empty: the first MIFARE Classic card in the field
};

MifareTarget ParseTarget(const MifareOptions& options) {
    MifareTarget target{Credentials(options), {}};
    if (!options.card.empty()) {
        target.serial = ParseHex(options.card, "card serial number");
        const std::size_t n = target.serial.size();
        if (n != 4 && n != 7 && n != 10) {
            throw UsageError(
                fmt::format("card serial number \"{}\": {} bytes; a serial number has 4, 7 or 10",
                            options.card, n));
        }
    }
    return target;
}

std::string SizeName(std::uint8_t type) {
    switch (SectorCountForType(type)) {
        case 5:
            return "Mini";
        case 40:
            return "4K";
        default:
            return "1K";
    }
}

// The selected MIFARE Classic card.
class MifareCard {
public:
    MifareCard(const ReaderSession& reader, const MifareTarget& target)
        : reader_(reader), credentials_(target.credentials), serial_(target.serial) {
        if (serial_.empty()) FindFirst();
        Select();
        if (!HasClassicMemory(type_)) {
            throw ToolError(kExitNotFound,
                            fmt::format("the card {} ({}, type {:02X}) has no MIFARE Classic "
                                        "memory",
                                        HexText(serial_, ""), CardTypeName(type_), type_));
        }
    }

    std::uint8_t Type() const { return type_; }
    const Bytes& Serial() const { return serial_; }
    int SectorCount() const { return SectorCountForType(type_); }
    int BlockCount() const { return BlockCountForSectors(SectorCount()); }
    const std::vector<Credential>& Credentials() const { return credentials_; }

    void CheckBlock(int block) const {
        if (block >= BlockCount()) {
            throw UsageError(fmt::format("block {} is beyond this {} card (blocks 0..{})", block,
                                         SizeName(type_), BlockCount() - 1));
        }
    }

    // Tries the credentials in turn, from the first-th on. A refused login
    // leaves the card halted, so it is selected afresh before the next try.
    // Returns the index of the one that worked, or -1 with the last refusal
    // in lastResult.
    int Login(int sector, const std::vector<Credential>& credentials, std::size_t first,
              std::int16_t& lastResult) {
        const Api& api = reader_.api();
        for (std::size_t i = first; i < credentials.size(); ++i) {
            const Credential& c = credentials[i];
            lastResult = api.Zelvorn_Login(reader_.handle(), static_cast<std::uint8_t>(sector),
                                           c.keyType, c.storedKeyNo, c.key.data());
            if (lastResult == RESULT_OK) return static_cast<int>(i);
            if (IsLibraryFailure(lastResult)) {
                throw StepFailed(fmt::format("log in to sector {} with {}", sector, c.label),
                                 lastResult);
            }
            Select();
        }
        return -1;
    }

    // Logs in to the sector of a block or fails with the last refusal.
    void LoginFor(int block) {
        CheckBlock(block);
        const int sector = SectorOf(block);
        std::int16_t result = RESULT_OK;
        if (Login(sector, credentials_, 0, result) < 0) throw LoginFailed(sector, result);
    }

    ToolError LoginFailed(int sector, std::int16_t result) const {
        std::string tried;
        for (const Credential& c : credentials_) tried += (tried.empty() ? "" : ", ") + c.label;
        return StepFailed(fmt::format("log in to sector {} with {}", sector,
                                      credentials_.size() == 1 ? tried : "any of " + tried),
                          result);
    }

    void Select() {
        const Api& api = reader_.api();
        std::uint8_t length = 0;
        std::uint8_t serial[ZELVORN_SERIAL_FIELD] = {};
        const std::int16_t result = ReadWritten({AsBytes(length)}, [&] {
            return api.Zelvorn_MultiTagSelect(reader_.handle(),
                                              static_cast<std::uint8_t>(serial_.size()),
                                              serial_.data(), &type_, &length, serial);
        });
        if (result != RESULT_OK) {
            ToolError error =
                StepFailed(fmt::format("select the card {}", HexText(serial_, "")), result);
            if (IsLibraryFailure(result)) throw error;
            throw ToolError(kExitNotFound, error.what());
        }
    }

private:
    // The first card of the tag list with MIFARE Classic memory.
    void FindFirst() {
        const Api& api = reader_.api();
        std::uint8_t count = 0;
        std::uint8_t types[ZELVORN_MAX_LISTED_TAGS] = {};
        std::uint8_t lengths[ZELVORN_MAX_LISTED_TAGS] = {};
        std::uint8_t serials[ZELVORN_MAX_LISTED_TAGS * ZELVORN_SERIAL_FIELD] = {};
        const std::int16_t result = ReadWritten({AsBytes(count)}, [&] {
            return api.Zelvorn_ListTags(reader_.handle(), &count, types, lengths, serials);
        });
        if (result != RESULT_OK && result != kReaderNoCard) {
            throw StepFailed("list the cards in the field", result);
        }
        for (std::uint8_t i = 0; result == RESULT_OK && i < count && i < ZELVORN_MAX_LISTED_TAGS;
             ++i) {
            if (HasClassicMemory(types[i])) {
                const std::uint8_t* s = serials + i * ZELVORN_SERIAL_FIELD;
                serial_.assign(s, s + std::min<std::size_t>(lengths[i], ZELVORN_SERIAL_FIELD));
                return;
            }
        }
        throw ToolError(kExitNotFound, "no MIFARE Classic card in the field");
    }

    const ReaderSession& reader_;
    std::vector<Credential> credentials_;
    Bytes serial_;
    std::uint8_t type_ = 0;
};

// Progress of a dump on stderr: one line rewritten in place on a terminal, a
// line per sector when asked for otherwise.
class Progress {
public:
    Progress(bool requested, int total)
        : terminal_(ZELVORN_ISATTY(ZELVORN_FILENO(stderr)) != 0),
          lines_(requested && !terminal_),
          total_(total) {}

    void Show(int sector, int index) {
        if (terminal_) {
            fmt::print(stderr, "\rreading sector {} ({} of {})...", sector, index + 1, total_);
            std::fflush(stderr);
        } else if (lines_) {
            fmt::print(stderr, "progress: sector {} ({} of {})\n", sector, index + 1, total_);
        }
    }
    void Clear() {
        if (terminal_) {
            fmt::print(stderr, "\r{:40}\r", "");
            std::fflush(stderr);
        }
    }

private:
    bool terminal_;
    bool lines_;
    int total_;
};

std::string BlockNote(int block, const std::uint8_t* data) {
    if (block == 0) return "manufacturer block";
    if (IsTrailer(block)) return "trailer";
    if (auto value = DecodeValueBlock(data)) {
        return fmt::format("value {} (address {})", value->value, value->address);
    }
    return "";
}

void PrintBlock(int block, const std::uint8_t* data) {
    const std::string note = BlockNote(block, data);
    fmt::print("  {:3}  {}  |{}|{}{}\n", block, HexText({data, 16}), AsciiText({data, 16}),
               note.empty() ? "" : "  ", note);
}

// What the access bits of a trailer allow, group by group.
void PrintAccess(int trailerBlock, const std::uint8_t* trailer) {
    const auto conditions = DecodeAccessBits(trailer);
    if (!conditions) {
        fmt::print("       access bits {} do not match their inverted copy\n",
                   HexText({trailer + 6, 3}, ""));
        return;
    }
    fmt::print("       access bits {}, user byte {:02X}\n", HexText({trailer + 6, 3}, ""),
               trailer[9]);
    const int sector = SectorOf(trailerBlock);
    const int first = FirstBlockOf(sector);
    const int perGroup = BlocksIn(sector) == 4 ? 1 : 5;
    for (int g = 0; g < 3; ++g) {
        const int from = first + g * perGroup;
        const std::string blocks = perGroup == 1
                                       ? fmt::format("block {}", from)
                                       : fmt::format("blocks {}-{}", from, from + perGroup - 1);
        fmt::print("       {:<14} {:03b}  {}\n", blocks + ":", (*conditions)[g],
                   DataConditionText((*conditions)[g], (*conditions)[3]));
    }
    fmt::print("       {:<14} {:03b}  {}\n", "trailer:", (*conditions)[3],
               TrailerConditionText((*conditions)[3]));
}

void Warn(const std::string& text) {
    std::fflush(stdout);
    fmt::print(stderr, "zelvorn: warning: {}\n", text);
}

// --- dump ---------------------------------------------------------------------------

struct DumpOptions {
    std::optional<int> firstSector;
    std::optional<int> lastSector;
    bool progress = false;  // progress on stderr even when it is no terminal
    std::string output;     // a dump file to write
    std::string format;     // its format; empty: from the file name
};

// Fills in the keys the trailer does not show: key A never reads back, and
// key B only where the access bits make it data. A key neither shown nor
// found stays as the card gave it and is marked unknown, so that no file
// passes the card's stand-in zeros off as its key.
void FillKeys(MifareDump& dump, int sector, Block& trailer, const Credential* keyA,
              const Credential* keyB, bool keyBIsData) {
    const bool aKnown = keyA != nullptr && keyA->keyKnown;
    if (aKnown) std::copy(keyA->key.begin(), keyA->key.end(), trailer.begin());
    SetKeyKnown(dump, sector, 'A', aKnown);
    const bool bKnown = keyBIsData || (keyB != nullptr && keyB->keyKnown);
    if (!keyBIsData && bKnown) std::copy(keyB->key.begin(), keyB->key.end(), trailer.begin() + 10);
    SetKeyKnown(dump, sector, 'B', bKnown);
}

int MifareDumpCommand(Library& library, std::int16_t port, const MifareOptions& mifare,
                      const DumpOptions& options, bool json) {
    if (options.firstSector && options.lastSector && *options.firstSector > *options.lastSector) {
        throw UsageError(fmt::format("first sector {} after last sector {}", *options.firstSector,
                                     *options.lastSector));
    }
    const bool toFile = !options.output.empty();
    const DumpFormat format =
        toFile ? DumpFormatFor(options.output, options.format) : DumpFormat::Json;
    const MifareTarget target = ParseTarget(mifare);
    ReaderSession reader(library, port);
    const Api& api = reader.api();
    MifareCard card(reader, target);
    const int count = card.SectorCount();
    const int first = options.firstSector.value_or(0);
    const int last = options.lastSector.value_or(count - 1);
    if (last >= count) {
        throw UsageError(fmt::format("sector {} is beyond this {} card (sectors 0..{})", last,
                                     SizeName(card.Type()), count - 1));
    }
    const bool text = !json;
    if (text) {
        fmt::print("Card: {} (type {:02X}), serial {}, {} sectors\n", CardTypeName(card.Type()),
                   card.Type(), HexText(card.Serial(), ""), count);
    }

    MifareDump dump;
    dump.uid = card.Serial();
    dump.sak = card.Type();
    dump.blocks.resize(static_cast<std::size_t>(card.BlockCount()));
    dump.openedWith.resize(static_cast<std::size_t>(count));
    const std::vector<Credential>& credentials = card.Credentials();

    Progress progress(options.progress, last - first + 1);
    int read = 0;
    std::vector<std::string> failures;
    for (int sector = first; sector <= last; ++sector) {
        progress.Show(sector, sector - first);
        std::int16_t result = RESULT_OK;
        const int used = card.Login(sector, credentials, 0, result);
        std::vector<std::int16_t> readResults;
        const int firstBlock = FirstBlockOf(sector);
        const int trailerBlock = firstBlock + BlocksIn(sector) - 1;
        if (used >= 0) {
            for (int block = firstBlock; block <= trailerBlock; ++block) {
                Block data{};
                const std::int16_t r = ReadWritten({data}, [&] {
                    return api.Zelvorn_Read(reader.handle(), static_cast<std::uint8_t>(block),
                                            data.data());
                });
                if (IsLibraryFailure(r)) {
                    progress.Clear();
                    throw StepFailed(fmt::format("read block {}", block), r);
                }
                readResults.push_back(r);
                if (r == RESULT_OK) dump.blocks[block] = data;
            }
        }
        progress.Clear();
        if (used < 0) {
            if (text) {
                fmt::print("Sector {:2}  not read: no key was accepted ({})\n", sector,
                           DescribeResult(result));
            }
            failures.push_back(fmt::format("sector {}", sector));
            continue;
        }
        const Credential& opener = credentials[used];
        dump.openedWith[sector] = opener.label;
        std::string found;
        if (auto& trailer = dump.blocks[trailerBlock]) {
            const auto conditions = DecodeAccessBits(trailer->data());
            const bool keyBIsData = conditions && KeyBReadable((*conditions)[3]);
            // The other key, where the credentials hold one of its kind.
            const Credential* other = nullptr;
            const char otherKind = opener.kind == 'A' ? 'B' : 'A';
            if (!(otherKind == 'B' && keyBIsData)) {
                std::vector<Credential> candidates;
                for (const Credential& c : credentials) {
                    if (c.kind == otherKind && c.keyKnown) candidates.push_back(c);
                }
                if (!candidates.empty()) {
                    std::int16_t ignored = RESULT_OK;
                    card.Select();
                    const int hit = card.Login(sector, candidates, 0, ignored);
                    if (hit >= 0) {
                        for (const Credential& c : credentials) {
                            if (c.kind == otherKind && c.key == candidates[hit].key) other = &c;
                        }
                        found = fmt::format("; {} found too", candidates[hit].label);
                    }
                }
            }
            FillKeys(dump, sector, *trailer, opener.kind == 'A' ? &opener : other,
                     opener.kind == 'B' ? &opener : other, keyBIsData);
        }
        if (text) {
            fmt::print("Sector {:2}  blocks {}-{}, {}{}\n", sector, firstBlock, trailerBlock,
                       opener.label, found);
        }
        bool whole = true;
        for (int block = firstBlock; block <= trailerBlock; ++block) {
            const std::int16_t r = readResults[block - firstBlock];
            if (r != RESULT_OK) {
                if (text) fmt::print("  {:3}  not read: {}\n", block, DescribeResult(r));
                whole = false;
                continue;
            }
            if (text) {
                PrintBlock(block, dump.blocks[block]->data());
                if (IsTrailer(block)) {
                    PrintAccess(block, dump.blocks[block]->data());
                    for (const char kind : {'A', 'B'}) {
                        if (!KeyKnown(dump, sector, kind)) {
                            fmt::print(
                                "       key {} unknown: the card does not show it and no "
                                "key given found it (shown as the card gave it)\n",
                                kind);
                        }
                    }
                }
            }
        }
        if (whole) {
            ++read;
        } else {
            failures.push_back(fmt::format("sector {}", sector));
        }
        std::fflush(stdout);
    }
    if (text) {
        fmt::print("{} of {} sectors read", read, last - first + 1);
        if (!failures.empty()) {
            std::string list;
            for (const std::string& f : failures) list += (list.empty() ? "" : ", ") + f;
            fmt::print("; not read: {}", list);
        }
        fmt::print("\n");
    }
    // Block 0 of a card with a 4-byte serial number: serial, check byte, SAK, ATQA.
    if (const auto& b0 = dump.blocks[0];
        b0 && dump.uid.size() == 4 && ((*b0)[0] ^ (*b0)[1] ^ (*b0)[2] ^ (*b0)[3]) == (*b0)[4]) {
        dump.atqa = std::array<std::uint8_t, 2>{(*b0)[6], (*b0)[7]};
    }
    std::vector<std::string> warnings;
    if (json) {
        std::vector<std::string> ignored;
        fmt::print("{}", WriteDump(dump, DumpFormat::Json, ignored));
    }
    if (toFile) {
        SaveDump(options.output, WriteDump(dump, format, warnings));
        for (const std::string& w : warnings) Warn(w);
        fmt::print(stderr, "Dump written to {}\n", options.output);
    }
    return failures.empty() ? kExitOk : kExitIncomplete;
}

// --- restore ---------------------------------------------------------------------------

struct RestoreOptions {
    std::string file;
    std::string format;
    bool uid = false;
    bool force = false;
    bool dryRun = false;
    std::vector<std::string> keysA;  // --key-a: SECTOR:KEY, or KEY for every unknown key A
    std::vector<std::string> keysB;  // --key-b: the same for key B
};

// Puts the keys given on the command line into the dump's trailers: one for
// a sector replaces what the dump holds there, one for all fills in every key
// of its kind that the dump does not know.
void GiveKeys(MifareDump& dump, const std::string& file, char kind,
              const std::vector<std::string>& given) {
    const std::string option = kind == 'A' ? "--key-a" : "--key-b";
    const int sectors = SectorCountForBlocks(static_cast<int>(dump.blocks.size()));
    const std::size_t at = kind == 'A' ? 0 : 10;
    for (const std::string& text : given) {
        const std::size_t colon = text.find(':');
        const std::string what = fmt::format("{} \"{}\"", option, text);
        const Bytes key =
            ParseHex(colon == std::string::npos ? text : text.substr(colon + 1), what + ": key", 6);
        std::vector<int> targets;
        if (colon == std::string::npos) {
            for (int sector = 0; sector < sectors; ++sector) {
                if (!KeyKnown(dump, sector, kind)) targets.push_back(sector);
            }
        } else {
            const std::string number = text.substr(0, colon);
            const bool digits = !number.empty() && number.size() <= 2 &&
                                std::all_of(number.begin(), number.end(), [](char c) {
                                    return std::isdigit(static_cast<unsigned char>(c));
                                });
            if (!digits || std::stoi(number) >= sectors) {
                throw UsageError(
                    fmt::format("{}: the sector is a number 0..{} for this dump of {} "
                                "sectors; give SECTOR:KEY or KEY for every sector",
                                what, sectors - 1, sectors));
            }
            const int sector = std::stoi(number);
            if (!dump.blocks[FirstBlockOf(sector) + BlocksIn(sector) - 1]) {
                throw UsageError(
                    fmt::format("{}: {} holds no trailer for sector {}", what, file, sector));
            }
            targets.push_back(sector);
        }
        for (const int sector : targets) {
            Block& trailer = *dump.blocks[FirstBlockOf(sector) + BlocksIn(sector) - 1];
            std::copy(key.begin(), key.end(), trailer.begin() + static_cast<std::ptrdiff_t>(at));
            SetKeyKnown(dump, sector, kind, true);
        }
    }
}

// Bytes 6..9 of a trailer: the access bits and the user byte, which read
// back as written whatever the conditions (the keys may read as zeros).
bool SameAsWritten(int block, const Block& written, const Block& read) {
    if (!IsTrailer(block)) return written == read;
    return std::equal(written.begin() + 6, written.begin() + 10, read.begin() + 6);
}

int MifareRestoreCommand(Library& library, std::int16_t port, const MifareOptions& mifare,
                         const RestoreOptions& options) {
    MifareDump dump = LoadDump(options.file, DumpFormatFor(options.file, options.format));
    GiveKeys(dump, options.file, 'A', options.keysA);
    GiveKeys(dump, options.file, 'B', options.keysB);
    // A trailer whose access bits do not check would block its sector for good.
    std::vector<std::string> broken;
    for (std::size_t b = 0; b < dump.blocks.size(); ++b) {
        if (IsTrailer(static_cast<int>(b)) && dump.blocks[b] &&
            !DecodeAccessBits(dump.blocks[b]->data())) {
            broken.push_back(fmt::format("sector {} (access bits {})",
                                         SectorOf(static_cast<int>(b)),
                                         HexText({dump.blocks[b]->data() + 6, 3}, "")));
        }
    }
    if (!broken.empty() && !options.force) {
        std::string list;
        for (const std::string& s : broken) list += (list.empty() ? "" : ", ") + s;
        throw UsageError(fmt::format(
            "{}: the access bits of {} do not match their inverted copy; written to a card they "
            "would block the sector for good (--force writes them anyway)",
            options.file, list));
    }
    // A key the dump does not know would be replaced on the card by the
    // stand-in the dump holds (zeros), and where that key is the one with
    // the right to write, nobody could write the sector again.
    if (const std::string unknown = UnknownKeysText(dump); !unknown.empty()) {
        if (!options.force) {
            throw UsageError(fmt::format(
                "{}: the dump does not know {} (it could not be read and no key found it); "
                "written as it stands, the card would take the dump's stand-in zeros as its key "
                "and could lock its writer out. Give the key with --key-a/--key-b SECTOR:KEY (or "
                "KEY for every such sector), or --force to write it as it stands",
                options.file, unknown));
        }
        Warn(fmt::format("{}: the dump does not know {}: written as the dump holds it (--force)",
                         options.file, unknown));
    }

    // Data blocks first, sector trailers last: a trailer written early could
    // lock the writer out of its own sector.
    std::vector<int> order;
    for (int b = 0; b < static_cast<int>(dump.blocks.size()); ++b) {
        if (dump.blocks[b] && !IsTrailer(b) && (b != 0 || options.uid)) order.push_back(b);
    }
    for (int b = 0; b < static_cast<int>(dump.blocks.size()); ++b) {
        if (dump.blocks[b] && IsTrailer(b)) order.push_back(b);
    }
    if (options.dryRun) {
        for (int b : order) {
            fmt::print("would write block {:3}  {}\n", b, HexText(*dump.blocks[b]));
        }
        fmt::print("{} blocks; nothing written (--dry-run)\n", order.size());
        return kExitOk;
    }

    const MifareTarget target = ParseTarget(mifare);
    ReaderSession reader(library, port);
    const Api& api = reader.api();
    MifareCard card(reader, target);
    if (static_cast<int>(dump.blocks.size()) > card.BlockCount()) {
        throw UsageError(fmt::format("{}: {} blocks do not fit this {} card ({} blocks)",
                                     options.file, dump.blocks.size(), SizeName(card.Type()),
                                     card.BlockCount()));
    }
    std::vector<std::string> failures;
    int written = 0;
    for (std::size_t i = 0; i < order.size();) {
        // The blocks of one sector in this pass, and every way to log in to it:
        // the keys given, then the keys the dump holds for the sector.
        const int sector = SectorOf(order[i]);
        std::size_t end = i;
        while (end < order.size() && SectorOf(order[end]) == sector &&
               IsTrailer(order[end]) == IsTrailer(order[i])) {
            ++end;
        }
        std::vector<Credential> credentials = card.Credentials();
        const int trailerBlock = FirstBlockOf(sector) + BlocksIn(sector) - 1;
        if (const auto& trailer = dump.blocks[trailerBlock]) {
            Key a{}, b{};
            std::copy(trailer->begin(), trailer->begin() + 6, a.begin());
            std::copy(trailer->begin() + 10, trailer->end(), b.begin());
            if (KeyKnown(dump, sector, 'A')) credentials.push_back(Given('A', a));
            if (KeyKnown(dump, sector, 'B')) credentials.push_back(Given('B', b));
        }
        std::size_t next = 0;  // the next credential to try
        std::int16_t lastResult = RESULT_OK;
        int used = -1;
        while (i < end) {
            const int block = order[i];
            if (used < 0) {
                used = card.Login(sector, credentials, next, lastResult);
                if (used < 0) {
                    for (; i < end; ++i) {
                        failures.push_back(
                            fmt::format("block {}: no key logs in to sector {} "
                                        "with the right to write it ({})",
                                        order[i], sector, DescribeResult(lastResult)));
                    }
                    break;
                }
                next = static_cast<std::size_t>(used) + 1;
            }
            const Block& data = *dump.blocks[block];
            const std::int16_t r =
                api.Zelvorn_Write(reader.handle(), static_cast<std::uint8_t>(block), data.data());
            if (r != RESULT_OK && !IsLibraryFailure(r) && block != 0) {
                // Refused with this key: the next one may have the right.
                card.Select();
                used = -1;
                lastResult = r;
                continue;
            }
            if (r != RESULT_OK) {
                failures.push_back(
                    block == 0 ? fmt::format("block 0: the card refuses it, its "
                                             "serial number cannot be changed ({})",
                                             DescribeResult(r))
                               : fmt::format("write block {}: {}", block, DescribeResult(r)));
                if (IsLibraryFailure(r) || block == 0) card.Select();
                used = -1;
                next = 0;
                ++i;
                continue;
            }
            Block back{};
            const std::int16_t rr = ReadWritten({back}, [&] {
                return api.Zelvorn_Read(reader.handle(), static_cast<std::uint8_t>(block),
                                        back.data());
            });
            if (rr != RESULT_OK) {
                failures.push_back(
                    fmt::format("read back block {}: {}", block, DescribeResult(rr)));
            } else if (!SameAsWritten(block, data, back)) {
                failures.push_back(
                    fmt::format("block {} reads back as {}", block, HexText(back, "")));
            } else {
                ++written;
            }
            ++i;
        }
        i = end;
    }
    fmt::print("{} of {} blocks written and read back{}\n", written, order.size(),
               options.uid ? "" : " (block 0 left alone; --uid writes it)");
    if (failures.empty()) return kExitOk;
    for (const std::string& f : failures) fmt::print("  not restored: {}\n", f);
    throw ToolError(kExitFailed,
                    fmt::format("{} of {} blocks not restored", failures.size(), order.size()));
}

// --- one block, values, stored keys -----------------------------------------------------

void MifareReadCommand(Library& library, std::int16_t port, const MifareOptions& mifare,
                       int block) {
    const MifareTarget target = ParseTarget(mifare);
    ReaderSession reader(library, port);
    const Api& api = reader.api();
    MifareCard card(reader, target);
    card.LoginFor(block);
    std::uint8_t data[16] = {};
    Check(ReadWritten({data},
                      [&] {
                          return api.Zelvorn_Read(reader.handle(), static_cast<std::uint8_t>(block),
                                                  data);
                      }),
          fmt::format("read block {}", block));
    PrintBlock(block, data);
    if (IsTrailer(block)) PrintAccess(block, data);
}

void MifareWriteCommand(Library& library, std::int16_t port, const MifareOptions& mifare, int block,
                        const std::string& text, bool trailer) {
    const Bytes data = ParseHex(text, "block data", 16);
    if (IsTrailer(block)) {
        if (!trailer) {
            throw UsageError(fmt::format(
                "block {} is the trailer of sector {}: writing it changes the keys and access "
                "bits; add --trailer to do so",
                block, SectorOf(block)));
        }
        if (!DecodeAccessBits(data.data())) {
            throw UsageError(fmt::format(
                "block data \"{}\": access bits {} do not match their inverted copy, which would "
                "make the sector unusable",
                text, HexText({data.data() + 6, 3}, "")));
        }
    }
    const MifareTarget target = ParseTarget(mifare);
    ReaderSession reader(library, port);
    const Api& api = reader.api();
    MifareCard card(reader, target);
    card.LoginFor(block);
    Check(api.Zelvorn_Write(reader.handle(), static_cast<std::uint8_t>(block), data.data()),
          fmt::format("write block {}", block));
    fmt::print("Block {} written\n", block);
    PrintBlock(block, data.data());
}

enum class ValueOperation { Get, Set, Increment, Decrement, Copy };

void MifareValueCommand(Library& library, std::int16_t port, const MifareOptions& mifare,
                        ValueOperation operation, int block, std::int64_t operand) {
    if (IsTrailer(block)) {
        throw UsageError(fmt::format("block {} is a sector trailer, not a value block", block));
    }
    const bool copy = operation == ValueOperation::Copy;
    if (copy) {
        if (operand < 0 || operand > 255) {
            throw UsageError(fmt::format("block {} is not 0..255", operand));
        }
        if (IsTrailer(static_cast<int>(operand))) {
            throw UsageError(
                fmt::format("block {} is a sector trailer, not a value block", operand));
        }
    } else if (operand < INT32_MIN || operand > INT32_MAX) {
        throw UsageError(fmt::format("{} does not fit a signed 32-bit value", operand));
    }
    const auto amount = static_cast<std::int32_t>(operand);
    const auto b = static_cast<std::uint8_t>(block);

    const MifareTarget target = ParseTarget(mifare);
    ReaderSession reader(library, port);
    const Api& api = reader.api();
    MifareCard card(reader, target);
    if (copy) card.CheckBlock(static_cast<int>(operand));
    card.LoginFor(block);
    const std::int16_t h = reader.handle();
    std::int32_t value = 0;
    // The value a changing command hands back, or where that may never have
    // been written, the value the block holds now.
    const auto valueOf = [&](int valueBlock) {
        if (!StillUnwritten(AsBytes(value))) return;
        Check(ReadWritten({AsBytes(value)},
                          [&] {
                              return api.Zelvorn_ReadValue(h, static_cast<std::uint8_t>(valueBlock),
                                                           &value);
                          }),
              fmt::format("read value block {}", valueBlock));
    };
    MarkUnwritten(AsBytes(value));
    switch (operation) {
        case ValueOperation::Get:
            Check(
                ReadWritten({AsBytes(value)}, [&] { return api.Zelvorn_ReadValue(h, b, &value); }),
                fmt::format("read value block {}", block));
            fmt::print("Block {}: value {}\n", block, value);
            break;
        case ValueOperation::Set:
            Check(api.Zelvorn_WriteValue(h, b, amount), fmt::format("write value block {}", block));
            fmt::print("Block {}: value set to {}\n", block, amount);
            break;
        case ValueOperation::Increment:
            Check(api.Zelvorn_Inc(h, b, amount, &value),
                  fmt::format("increment value block {}", block));
            valueOf(block);
            fmt::print("Block {}: incremented by {}, value now {}\n", block, amount, value);
            break;
        case ValueOperation::Decrement:
            Check(api.Zelvorn_Dec(h, b, amount, &value),
                  fmt::format("decrement value block {}", block));
            valueOf(block);
            fmt::print("Block {}: decremented by {}, value now {}\n", block, amount, value);
            break;
        case ValueOperation::Copy:
            Check(api.Zelvorn_Copy(h, b, static_cast<std::uint8_t>(operand), &value),
                  fmt::format("copy value block {} to block {}", block, operand));
            valueOf(static_cast<int>(operand));
            fmt::print("Block {} copied to block {}: value {}\n", block, operand, value);
            break;
    }
}

// A key number as the user gives it: 0..15 for the stored keys, A, B or F for
// the reader's own keys. Returns the number the reader takes.
std::uint8_t ReaderKeyNumber(const std::string& text, std::string& meaning) {
    if (text.size() == 1 && std::string("ABFabf").find(text[0]) != std::string::npos) {
        const char k = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
        meaning = fmt::format("the reader's own key {} (for --reader-key {})", k, k);
        return k == 'A' ? 0xAA : k == 'B' ? 0xBB : 0xFF;
    }
    const bool digits =
        !text.empty() && text.size() <= 2 && std::all_of(text.begin(), text.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c));
        });
    if (!digits || std::stoi(text) >= kStoredKeyCount) {
        throw UsageError(fmt::format(
            "key number \"{}\": the reader stores keys 0..15, and its own keys A, B and F", text));
    }
    meaning = fmt::format("stored key {} (for --stored {})", text, std::stoi(text));
    return static_cast<std::uint8_t>(std::stoi(text));
}

void MifareStoreKeyCommand(Library& library, std::int16_t port, const std::string& number,
                           const std::string& text) {
    std::string meaning;
    const std::uint8_t keyNumber = ReaderKeyNumber(number, meaning);
    const Bytes key = ParseHex(text, "key", 6);
    ReaderSession reader(library, port);
    const Api& api = reader.api();
    Check(api.Zelvorn_WriteMasterKey(reader.handle(), keyNumber, key.data()),
          fmt::format("store key {} in the reader", number));
    fmt::print("Key stored in the reader as {}\n", meaning);
}

struct BlockOptions {
    int block = 0;
    std::string data;
    bool trailer = false;
    std::int64_t operand = 0;
    std::string keyNumber;
    std::string key;
};

}  // namespace

void RegisterMifareCommands(CLI::App& app, Cli& cli) {
    auto* mifare = app.add_subcommand("mifare", "MIFARE Classic cards");
    mifare->require_subcommand(1);
    mifare->fallthrough();
    auto m = std::make_shared<MifareOptions>();
    mifare
        ->add_option("-k,--key", m->keys,
                     "Key of 12 hexadecimal digits; repeat to try several (default: the "
                     "transport key FFFFFFFFFFFF)")
        ->allow_extra_args(false);
    mifare->add_option("-K,--keys", m->keyFile,
                       "Key dictionary: one key of 12 hexadecimal digits a line, '#' comments "
                       "(as proxmark3 and MIFARE Classic Tool keep them); tried after -k");
    mifare
        ->add_option("-s,--stored", m->storedKeys,
                     "Number of a key stored in the reader (0..15, see store-key); repeat to "
                     "try several")
        ->allow_extra_args(false)
        ->check(CLI::Range(0, kStoredKeyCount - 1));
    mifare
        ->add_option("-r,--reader-key", m->readerKeys,
                     "One of the reader's own keys: A and F log in as key A, B as key B")
        ->allow_extra_args(false)
        ->check(CLI::IsMember({"A", "B", "F", "a", "b", "f"}));
    mifare
        ->add_option("-t,--key-type", m->keyType,
                     "Log in with key A, key B, or both (default: both; every key as key A "
                     "first, then as key B)")
        ->check(CLI::IsMember({"A", "B", "a", "b", "both"}));
    mifare->add_option("-c,--card", m->card,
                       "Serial number of the card to use (default: the first MIFARE Classic card "
                       "in the field)");

    auto d = std::make_shared<DumpOptions>();
    auto* dump = mifare->add_subcommand(
        "dump", "Read every sector and show blocks, access bits and value blocks; write a file");
    dump->add_option("--first", d->firstSector, "First sector to read")->check(CLI::Range(0, 39));
    dump->add_option("--last", d->lastSector, "Last sector to read")->check(CLI::Range(0, 39));
    dump->add_flag("--progress", d->progress,
                   "Report progress on stderr even when it is not a terminal");
    dump->add_option("-o,--output", d->output,
                     "Write the dump to this file too: .bin or .mfd (raw image), .eml (a block "
                     "a line) or .json (proxmark3's layout)");
    dump->add_option("--format", d->format, "The file's format, whatever its name ends in")
        ->check(CLI::IsMember({"bin", "mfd", "eml", "json"}));
    dump->callback([&cli, m, d] {
        cli.action = [&cli, m, d](Library& library) {
            return MifareDumpCommand(library, cli.Port(), *m, *d, cli.global.json);
        };
    });

    auto r = std::make_shared<RestoreOptions>();
    auto* restore = mifare->add_subcommand(
        "restore",
        "Write a dump file back to a card: data blocks first, sector trailers last, each block "
        "read back and compared");
    restore->add_option("file", r->file, "The dump file (.bin, .mfd, .eml or .json)")->required();
    restore->add_option("--format", r->format, "The file's format, whatever its name ends in")
        ->check(CLI::IsMember({"bin", "mfd", "eml", "json"}));
    restore->add_flag("--uid", r->uid,
                      "Write block 0 (serial number and manufacturer data) too; most cards "
                      "refuse it");
    restore
        ->add_option("--key-a", r->keysA,
                     "Key A to write into a trailer, as SECTOR:KEY (replaces the dump's) or KEY "
                     "(fills in every key A the dump does not know); repeat for several")
        ->allow_extra_args(false);
    restore
        ->add_option("--key-b", r->keysB,
                     "Key B to write into a trailer, as SECTOR:KEY (replaces the dump's) or KEY "
                     "(fills in every key B the dump does not know); repeat for several")
        ->allow_extra_args(false);
    restore->add_flag("--force", r->force,
                      "Write trailers whose access bits do not match their inverted copy, or "
                      "whose keys the dump does not know (as the dump holds them)");
    restore->add_flag("--dry-run", r->dryRun, "Show what would be written, and write nothing");
    restore->callback([&cli, m, r] {
        cli.action = [&cli, m, r](Library& library) {
            return MifareRestoreCommand(library, cli.Port(), *m, *r);
        };
    });

    auto b = std::make_shared<BlockOptions>();
    auto* read = mifare->add_subcommand("read", "Read one block");
    read->add_option("block", b->block, "Block number: 0..63 on a 1K card, 0..255 on a 4K card")
        ->required()
        ->check(CLI::Range(0, 255));
    read->callback([&cli, m, b] {
        cli.action = [&cli, m, b](Library& library) {
            return Done([&] { MifareReadCommand(library, cli.Port(), *m, b->block); });
        };
    });

    auto* write = mifare->add_subcommand("write", "Write one block of 16 bytes");
    write->add_option("block", b->block, "Block number: 1..63 on a 1K card, 1..255 on a 4K card")
        ->required()
        ->check(CLI::Range(0, 255));
    write->add_option("data", b->data, "16 bytes as 32 hexadecimal digits")->required();
    write->add_flag("--trailer", b->trailer,
                    "Allow writing a sector trailer (keys and access bits)");
    write->callback([&cli, m, b] {
        cli.action = [&cli, m, b](Library& library) {
            return Done([&] {
                MifareWriteCommand(library, cli.Port(), *m, b->block, b->data, b->trailer);
            });
        };
    });

    auto* value = mifare->add_subcommand("value", "Value block operations");
    value->require_subcommand(1);
    value->fallthrough();
    const auto addValue = [&cli, m, b, value](const char* name, const char* help, ValueOperation op,
                                              const char* operandName, const char* operandHelp) {
        auto* sub = value->add_subcommand(name, help);
        sub->add_option("block", b->block, "Value block number, 0..255")
            ->required()
            ->check(CLI::Range(0, 255));
        if (operandName != nullptr) {
            sub->add_option(operandName, b->operand, operandHelp)->required();
        }
        sub->callback([&cli, m, b, op] {
            cli.action = [&cli, m, b, op](Library& library) {
                return Done(
                    [&] { MifareValueCommand(library, cli.Port(), *m, op, b->block, b->operand); });
            };
        });
    };
    addValue("get", "Read the value", ValueOperation::Get, nullptr, nullptr);
    addValue("set", "Make the block a value block holding a value", ValueOperation::Set, "value",
             "Signed 32-bit value");
    addValue("inc", "Increment the value", ValueOperation::Increment, "amount",
             "Signed 32-bit amount");
    addValue("dec", "Decrement the value", ValueOperation::Decrement, "amount",
             "Signed 32-bit amount");
    addValue("copy", "Copy the value to another block of the sector", ValueOperation::Copy,
             "target", "Target block number");

    auto* storeKey = mifare->add_subcommand(
        "store-key",
        "Store a key in the reader: numbers 0..15 are its stored keys (log in with --stored N), "
        "A, B and F its own keys (--reader-key A|B|F)");
    storeKey->add_option("number", b->keyNumber, "0..15, or A, B or F")->required();
    storeKey->add_option("key", b->key, "12 hexadecimal digits")->required();
    storeKey->callback([&cli, b] {
        cli.action = [&cli, b](Library& library) {
            return Done([&] { MifareStoreKeyCommand(library, cli.Port(), b->keyNumber, b->key); });
        };
    });
}

}  // namespace zelvorn::tool
