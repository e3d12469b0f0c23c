// MIFARE Classic: whole-card dump, one block, value blocks, stored keys.
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "tool/commands.h"
#include "tool/errors.h"
#include "tool/hex.h"
#include "tool/mifare_layout.h"

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

// One way to log in to a sector.
struct Credential {
    std::uint8_t keyType;
    std::uint8_t storedKeyNo;
    std::array<std::uint8_t, 6> key;
    std::string label;
};

std::vector<Credential> Credentials(const MifareOptions& o) {
    const bool b = o.keyType == 'B' || o.keyType == 'b';
    const char kind = b ? 'B' : 'A';
    std::vector<Credential> out;
    for (const std::string& text : o.keys) {
        const Bytes key = ParseHex(text, "key", 6);
        Credential c{static_cast<std::uint8_t>(b ? KEYTYPE_B : KEYTYPE_A), 0, {}, ""};
        std::copy(key.begin(), key.end(), c.key.begin());
        c.label = fmt::format("key {} {}", kind, HexText(key, ""));
        out.push_back(c);
    }
    for (int n : o.storedKeys) {
        out.push_back({static_cast<std::uint8_t>(b ? KEYTYPE_STORED_B : KEYTYPE_STORED_A),
                       static_cast<std::uint8_t>(n),
                       {},
                       fmt::format("stored key {} number {}", kind, n)});
    }
    if (out.empty()) {
        // A card fresh from the factory opens with the transport key.
        out.push_back({static_cast<std::uint8_t>(b ? KEYTYPE_B : KEYTYPE_A),
                       0,
                       {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
                       fmt::format("key {} FFFFFFFFFFFF", kind)});
    }
    return out;
}

// The card asked for and the ways to log in to it, checked before anything is
// loaded or sent.
struct MifareTarget {
    std::vector<Credential> credentials;
    Bytes serial;  // empty: the first card in the field
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

// The selected MIFARE Classic card.
class MifareCard {
public:
    MifareCard(const ReaderSession& reader, const MifareTarget& target)
        : reader_(reader), credentials_(target.credentials), serial_(target.serial) {
        Select();
        if (type_ == 0x20 || type_ == 0x00) {
            throw ToolError(kExitNotFound,
                            fmt::format("the selected card ({}, type {:02X}) has no MIFARE "
                                        "Classic memory",
                                        CardTypeName(type_), type_));
        }
    }

    std::uint8_t Type() const { return type_; }
    const Bytes& Serial() const { return serial_; }

    // Tries every credential in turn. A refused login leaves the card halted,
    // so it is selected afresh before the next try. Returns the credential
    // that worked, or null with the last refusal in lastResult.
    const Credential* Login(int sector, std::int16_t& lastResult) {
        const Api& api = reader_.api();
        for (std::size_t i = 0; i < credentials_.size(); ++i) {
            const Credential& c = credentials_[i];
            lastResult = api.Zelvorn_Login(reader_.handle(), static_cast<std::uint8_t>(sector),
                                           c.keyType, c.storedKeyNo, c.key.data());
            if (lastResult == RESULT_OK) return &c;
            if (IsLibraryFailure(lastResult)) {
                throw StepFailed(fmt::format("log in to sector {} with {}", sector, c.label),
                                 lastResult);
            }
            Select();
        }
        return nullptr;
    }

    // Logs in to the sector of a block or fails with the last refusal.
    void LoginFor(int block) {
        const int sector = SectorOf(block);
        std::int16_t result = RESULT_OK;
        if (Login(sector, result) == nullptr) {
            throw StepFailed(fmt::format("log in to sector {} with {}", sector,
                                         credentials_.size() == 1 ? credentials_[0].label
                                                                  : "any of the keys given"),
                             result);
        }
    }

private:
    // The first selection takes the card asked for, or the first in the
    // field; later ones take the same card again by its serial number.
    void Select() {
        const Api& api = reader_.api();
        std::uint8_t length = 0;
        std::uint8_t serial[ZELVORN_SERIAL_FIELD] = {};
        const bool bySerial = !serial_.empty();
        const std::int16_t result =
            bySerial ? api.Zelvorn_MultiTagSelect(reader_.handle(),
                                                  static_cast<std::uint8_t>(serial_.size()),
                                                  serial_.data(), &type_, &length, serial)
                     : api.Zelvorn_Select(reader_.handle(), &type_, &length, serial);
        if (result != RESULT_OK) {
            const std::string step = bySerial
                                         ? fmt::format("select the card {}", HexText(serial_, ""))
                                         : "select a card";
            ToolError error = StepFailed(step, result);
            if (IsLibraryFailure(result)) throw error;
            throw ToolError(kExitNotFound, error.what());
        }
        serial_.assign(serial, serial + std::min<std::size_t>(length, ZELVORN_SERIAL_FIELD));
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
                   DataConditionText((*conditions)[g]));
    }
    fmt::print("       {:<14} {:03b}  {}\n", "trailer:", (*conditions)[3],
               TrailerConditionText((*conditions)[3]));
}

int CheckedBlock(int block) {
    if (block < 0 || block > 255) throw UsageError(fmt::format("block {} is not 0..255", block));
    return block;
}

}  // namespace

int MifareDumpCommand(Library& library, std::int16_t port, const MifareOptions& mifare,
                      const DumpOptions& dump) {
    const MifareTarget target = ParseTarget(mifare);
    ReaderSession reader(library.api(), port);
    const Api& api = reader.api();
    MifareCard card(reader, target);
    const int count = SectorCountForType(card.Type());
    const int first = dump.firstSector.value_or(0);
    const int last = dump.lastSector.value_or(count - 1);
    if (first < 0 || last >= count || first > last) {
        throw UsageError(
            fmt::format("sectors {}..{}: the card has sectors 0..{}", first, last, count - 1));
    }
    fmt::print("Card: {} (type {:02X}), serial {}, {} sectors\n", CardTypeName(card.Type()),
               card.Type(), HexText(card.Serial(), ""), count);

    Progress progress(dump.progress, last - first + 1);
    int read = 0;
    std::vector<std::string> failures;
    for (int sector = first; sector <= last; ++sector) {
        progress.Show(sector, sector - first);
        std::int16_t result = RESULT_OK;
        const Credential* credential = card.Login(sector, result);
        std::array<std::array<std::uint8_t, 16>, 16> blocks{};
        std::vector<std::int16_t> readResults;
        if (credential != nullptr) {
            for (int i = 0; i < BlocksIn(sector); ++i) {
                const int block = FirstBlockOf(sector) + i;
                const std::int16_t r = api.Zelvorn_Read(
                    reader.handle(), static_cast<std::uint8_t>(block), blocks[i].data());
                if (IsLibraryFailure(r)) {
                    progress.Clear();
                    throw StepFailed(fmt::format("read block {}", block), r);
                }
                readResults.push_back(r);
            }
        }
        progress.Clear();
        if (credential == nullptr) {
            fmt::print("Sector {:2}  not read: no key was accepted ({})\n", sector,
                       DescribeResult(result));
            failures.push_back(fmt::format("sector {}", sector));
            continue;
        }
        fmt::print("Sector {:2}  blocks {}-{}, {}\n", sector, FirstBlockOf(sector),
                   FirstBlockOf(sector) + BlocksIn(sector) - 1, credential->label);
        bool whole = true;
        for (int i = 0; i < BlocksIn(sector); ++i) {
            const int block = FirstBlockOf(sector) + i;
            if (readResults[i] != RESULT_OK) {
                fmt::print("  {:3}  not read: {}\n", block, DescribeResult(readResults[i]));
                whole = false;
                continue;
            }
            PrintBlock(block, blocks[i].data());
            if (IsTrailer(block)) PrintAccess(block, blocks[i].data());
        }
        if (whole) {
            ++read;
        } else {
            failures.push_back(fmt::format("sector {}", sector));
        }
        std::fflush(stdout);
    }
    fmt::print("{} of {} sectors read", read, last - first + 1);
    if (!failures.empty()) {
        std::string list;
        for (const std::string& f : failures) list += (list.empty() ? "" : ", ") + f;
        fmt::print("; not read: {}", list);
    }
    fmt::print("\n");
    return failures.empty() ? kExitOk : kExitIncomplete;
}

void MifareReadCommand(Library& library, std::int16_t port, const MifareOptions& mifare,
                       int block) {
    CheckedBlock(block);
    const MifareTarget target = ParseTarget(mifare);
    ReaderSession reader(library.api(), port);
    const Api& api = reader.api();
    MifareCard card(reader, target);
    card.LoginFor(block);
    std::uint8_t data[16] = {};
    Check(api.Zelvorn_Read(reader.handle(), static_cast<std::uint8_t>(block), data),
          fmt::format("read block {}", block));
    PrintBlock(block, data);
    if (IsTrailer(block)) PrintAccess(block, data);
}

void MifareWriteCommand(Library& library, std::int16_t port, const MifareOptions& mifare, int block,
                        const std::string& text, bool trailer) {
    CheckedBlock(block);
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
    ReaderSession reader(library.api(), port);
    const Api& api = reader.api();
    MifareCard card(reader, target);
    card.LoginFor(block);
    Check(api.Zelvorn_Write(reader.handle(), static_cast<std::uint8_t>(block), data.data()),
          fmt::format("write block {}", block));
    fmt::print("Block {} written\n", block);
    PrintBlock(block, data.data());
}

void MifareValueCommand(Library& library, std::int16_t port, const MifareOptions& mifare,
                        ValueOperation operation, int block, std::int64_t operand) {
    CheckedBlock(block);
    if (IsTrailer(block)) {
        throw UsageError(fmt::format("block {} is a sector trailer, not a value block", block));
    }
    const bool copy = operation == ValueOperation::Copy;
    if (copy) {
        CheckedBlock(static_cast<int>(operand));
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
    ReaderSession reader(library.api(), port);
    const Api& api = reader.api();
    MifareCard card(reader, target);
    card.LoginFor(block);
    const std::int16_t h = reader.handle();
    std::int32_t value = 0;
    switch (operation) {
        case ValueOperation::Get:
            Check(api.Zelvorn_ReadValue(h, b, &value), fmt::format("read value block {}", block));
            fmt::print("Block {}: value {}\n", block, value);
            break;
        case ValueOperation::Set:
            Check(api.Zelvorn_WriteValue(h, b, amount), fmt::format("write value block {}", block));
            fmt::print("Block {}: value set to {}\n", block, amount);
            break;
        case ValueOperation::Increment:
            Check(api.Zelvorn_Inc(h, b, amount, &value),
                  fmt::format("increment value block {}", block));
            fmt::print("Block {}: incremented by {}, value now {}\n", block, amount, value);
            break;
        case ValueOperation::Decrement:
            Check(api.Zelvorn_Dec(h, b, amount, &value),
                  fmt::format("decrement value block {}", block));
            fmt::print("Block {}: decremented by {}, value now {}\n", block, amount, value);
            break;
        case ValueOperation::Copy:
            Check(api.Zelvorn_Copy(h, b, static_cast<std::uint8_t>(operand), &value),
                  fmt::format("copy value block {} to block {}", block, operand));
            fmt::print("Block {} copied to block {}: value {}\n", block, operand, value);
            break;
    }
}

void MifareStoreKeyCommand(Library& library, std::int16_t port, int keyNumber,
                           const std::string& text) {
    const Bytes key = ParseHex(text, "key", 6);
    ReaderSession reader(library.api(), port);
    const Api& api = reader.api();
    Check(api.Zelvorn_WriteMasterKey(reader.handle(), static_cast<std::uint8_t>(keyNumber),
                                     key.data()),
          fmt::format("store key number {} in the reader", keyNumber));
    fmt::print("Key stored in the reader as number {}\n", keyNumber);
}

}  // namespace zelvorn::tool
