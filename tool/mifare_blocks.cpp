// MIFARE Classic commands that work block by block: restore a dump file,
// read and write one block, value blocks, keys stored in the reader.
#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "tool/dump_file.h"
#include "tool/errors.h"
#include "tool/hex.h"
#include "tool/mifare_commands.h"
#include "tool/mifare_output.h"
#include "tool/written.h"

namespace zelvorn::tool {
namespace {

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
            if (!dump.blocks[TrailerOf(sector)]) {
                throw UsageError(
                    fmt::format("{}: {} holds no trailer for sector {}", what, file, sector));
            }
            targets.push_back(sector);
        }
        for (const int sector : targets) {
            Block& trailer = *dump.blocks[TrailerOf(sector)];
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

}  // namespace

int MifareRestoreCommand(Library& library, std::int16_t port, const MifareOptions& mifare,
                         const RestoreOptions& options) {
    MifareDump dump = LoadDump(options.file, DumpFormatFor(options.file, options.format));
    GiveKeys(dump, options.file, 'A', options.keysA);
    GiveKeys(dump, options.file, 'B', options.keysB);
    // A trailer whose access bits do not check would block its sector for good.
    std::vector<std::string> broken;
    for (std::size_t b = 0; b < dump.blocks.size(); ++b) {
        if (IsTrailer(static_cast<int>(b)) && dump.blocks[b] &&
            !TrailerConditions(dump.blocks[b]->data())) {
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
    // Sectors the dump holds nothing of were not read when it was made.
    std::string unread;
    const int sectors = SectorCountForBlocks(static_cast<int>(dump.blocks.size()));
    for (int sector = 0; sector < sectors; ++sector) {
        bool any = false;
        for (int b = FirstBlockOf(sector); b <= TrailerOf(sector); ++b) any = any || dump.blocks[b];
        if (!any) unread += (unread.empty() ? "" : ", ") + std::to_string(sector);
    }
    if (!unread.empty()) {
        fmt::print("{}: sector{} {} not read when the dump was made: left as on the card\n",
                   options.file, unread.find(',') == std::string::npos ? "" : "s", unread);
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
        const int trailerBlock = TrailerOf(sector);
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
            const std::int16_t rr = card.TryRead(block, back);
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

void MifareReadCommand(Library& library, std::int16_t port, const MifareOptions& mifare, int block,
                       bool json) {
    const MifareTarget target = ParseTarget(mifare);
    ReaderSession reader(library, port);
    MifareCard card(reader, target);
    card.LoginFor(block);
    const Block data = card.Read(block);
    if (json) {
        nlohmann::ordered_json out{{"block", block}, {"data", HexText(data, "")}};
        if (IsTrailer(block)) out["accessBits"] = HexText({data.data() + 6, 4}, "");
        fmt::print("{}\n", out.dump(2));
        return;
    }
    PrintBlock(block, data.data());
    if (IsTrailer(block)) PrintAccess(block, data.data());
}

void MifareWriteCommand(Library& library, std::int16_t port, const MifareOptions& mifare, int block,
                        const std::string& text, bool trailer, bool json) {
    const Bytes data = ParseHex(text, "block data", 16);
    if (IsTrailer(block)) {
        if (!trailer) {
            throw UsageError(fmt::format(
                "block {} is the trailer of sector {}: writing it changes the keys and access "
                "bits; add --trailer to do so",
                block, SectorOf(block)));
        }
        if (!TrailerConditions(data.data())) {
            throw UsageError(fmt::format(
                "block data \"{}\": access bits {} do not match their inverted copy, which would "
                "make the sector unusable",
                text, HexText({data.data() + 6, 3}, "")));
        }
    }
    const MifareTarget target = ParseTarget(mifare);
    ReaderSession reader(library, port);
    MifareCard card(reader, target);
    card.LoginFor(block);
    Block bytes{};
    std::copy(data.begin(), data.end(), bytes.begin());
    card.Write(block, bytes);
    if (json) {
        fmt::print(
            "{}\n",
            nlohmann::ordered_json{{"block", block}, {"written", HexText(data, "")}}.dump(2));
        return;
    }
    fmt::print("Block {} written\n", block);
    PrintBlock(block, data.data());
}

void MifareValueCommand(Library& library, std::int16_t port, const MifareOptions& mifare,
                        ValueOperation operation, int block, std::int64_t operand, bool json) {
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
    card.CheckBlock(block);
    // Decrement also governs transfer and restore, which copy uses.
    constexpr mifare::DataOperation kRight[] = {mifare::kRead, mifare::kWrite, mifare::kIncrement,
                                                mifare::kDecrement, mifare::kDecrement};
    card.LoginWithRight(block, kRight[static_cast<int>(operation)]);
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
            if (!json) fmt::print("Block {}: value {}\n", block, value);
            break;
        case ValueOperation::Set:
            Check(api.Zelvorn_WriteValue(h, b, amount), fmt::format("write value block {}", block));
            value = amount;
            if (!json) fmt::print("Block {}: value set to {}\n", block, amount);
            break;
        case ValueOperation::Increment:
            Check(api.Zelvorn_Inc(h, b, amount, &value),
                  fmt::format("increment value block {}", block));
            valueOf(block);
            if (!json) {
                fmt::print("Block {}: incremented by {}, value now {}\n", block, amount, value);
            }
            break;
        case ValueOperation::Decrement:
            Check(api.Zelvorn_Dec(h, b, amount, &value),
                  fmt::format("decrement value block {}", block));
            valueOf(block);
            if (!json) {
                fmt::print("Block {}: decremented by {}, value now {}\n", block, amount, value);
            }
            break;
        case ValueOperation::Copy:
            Check(api.Zelvorn_Copy(h, b, static_cast<std::uint8_t>(operand), &value),
                  fmt::format("copy value block {} to block {}", block, operand));
            valueOf(static_cast<int>(operand));
            if (!json) fmt::print("Block {} copied to block {}: value {}\n", block, operand, value);
            break;
    }
    if (json) {
        constexpr const char* kNames[] = {"get", "set", "inc", "dec", "copy"};
        nlohmann::ordered_json out{{"block", block},
                                   {"operation", kNames[static_cast<int>(operation)]}};
        if (copy) {
            out["target"] = operand;
        } else if (operation != ValueOperation::Get) {
            out["amount"] = amount;
        }
        out["value"] = value;
        fmt::print("{}\n", out.dump(2));
    }
}

void MifareStoreKeyCommand(Library& library, std::int16_t port, const std::string& number,
                           const std::string& text, bool json) {
    std::string meaning;
    const std::uint8_t keyNumber = ReaderKeyNumber(number, meaning);
    const Bytes key = ParseHex(text, "key", 6);
    ReaderSession reader(library, port);
    const Api& api = reader.api();
    Check(api.Zelvorn_WriteMasterKey(reader.handle(), keyNumber, key.data()),
          fmt::format("store key {} in the reader", number));
    if (json) {
        fmt::print("{}\n",
                   nlohmann::ordered_json{{"number", number}, {"key", HexText(key, "")}}.dump(2));
        return;
    }
    fmt::print("Key stored in the reader as {}\n", meaning);
}

}  // namespace zelvorn::tool
