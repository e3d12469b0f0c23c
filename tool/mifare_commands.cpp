// The MIFARE Classic commands on the command line: their options and
// subcommands, and the whole-card dump, which puts together the key search
// (mifare_keys), the reading (mifare_card) and the output (mifare_output).
#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "tool/cli.h"
#include "tool/dump_file.h"
#include "tool/errors.h"
#include "tool/hex.h"
#include "tool/mifare_commands.h"
#include "tool/mifare_output.h"
#include "tool/output_file.h"

namespace zelvorn::tool {

int MifareDumpCommand(Library& library, std::int16_t port, const MifareOptions& mifare,
                      const DumpOptions& options, bool json) {
    if (options.firstSector && options.lastSector && *options.firstSector > *options.lastSector) {
        throw UsageError(fmt::format("first sector {} after last sector {}", *options.firstSector,
                                     *options.lastSector));
    }
    const bool toFile = !options.output.empty();
    const DumpFormat format =
        toFile ? DumpFormatFor(options.output, options.format) : DumpFormat::Json;
    const bool keysJson = !options.keysOut.empty() && KeyFileIsJson(options.keysOut);
    const MifareTarget target = ParseTarget(mifare);
    // Where the results go is checked before the card is touched, so that a
    // whole read is not lost to a file that cannot be written.
    if (toFile) CheckOutputFile(options.output, "dump file");
    if (!options.keysOut.empty()) CheckOutputFile(options.keysOut, "key file");
    ReaderSession reader(library, port);
    MifareCard card(reader, target);
    const int count = card.SectorCount();
    const int first = options.firstSector.value_or(0);
    const int last = options.lastSector.value_or(count - 1);
    for (const auto& [given, name] :
         {std::pair{options.firstSector, "first"}, std::pair{options.lastSector, "last"}}) {
        if (given && *given >= count) {
            throw UsageError(
                fmt::format("--{} {}: sector {} is beyond this {} card (sectors 0..{})", name,
                            *given, *given, SizeName(card.Type()), count - 1));
        }
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
    KeySearch search(target.keys.credentials, target.keys.hints);
    Progress progress(options.progress, last - first + 1);
    int read = 0;
    std::vector<std::string> failures;
    ReadSectors(
        card, search, first, last, dump,
        [&](int sector) { progress.Start(sector, sector - first); },
        [&](const SectorRead& s) {
            progress.Done(s, s.sector - first);
            if (text) PrintSector(s, dump);
            if (s.Whole()) {
                ++read;
            } else {
                failures.push_back(fmt::format("sector {}", s.sector));
            }
            std::fflush(stdout);
        });
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
        WriteOutputFile(options.output, WriteDump(dump, format, warnings), "dump file");
        for (const std::string& w : warnings) Warn(w);
        fmt::print(stderr, "Dump written to {}\n", options.output);
    }
    if (!options.keysOut.empty()) {
        WriteOutputFile(options.keysOut, WriteKeyFile(dump, keysJson), "key file");
        fmt::print(stderr, "Keys written to {}\n", options.keysOut);
    }
    return failures.empty() ? kExitOk : kExitIncomplete;
}

void MifareAccessCommand(const std::string& bytes, const std::string& encode) {
    if (bytes.empty() == encode.empty()) {
        throw UsageError(
            "give either the access bytes (such as FF0780) or --encode \"data:000,000,000 "
            "trailer:001\"");
    }
    std::array<std::uint8_t, 3> access{};
    Conditions conditions{};
    if (!encode.empty()) {
        conditions = ParseConditions(encode);
        access = EncodeAccessBits(conditions);
    } else {
        const Bytes given = ParseHex(bytes, "access bits");
        if (given.size() != 3 && given.size() != 4) {
            throw UsageError(fmt::format(
                "access bits \"{}\": {} bytes; give bytes 6..8 of a trailer (3 bytes), or "
                "6..9 with the user byte",
                bytes, given.size()));
        }
        std::copy(given.begin(), given.begin() + 3, access.begin());
        const auto decoded = mifare::DecodeAccessBits(access.data());
        if (!decoded) {
            throw UsageError(fmt::format(
                "access bits {}: they do not match their inverted copy; a card takes such a "
                "sector as blocked for good",
                HexText(access, "")));
        }
        conditions = *decoded;
    }
    fmt::print("access bits {}  {}\n", HexText(access, ""), ConditionsText(conditions));
    PrintConditions(conditions, -1, 4);
}

namespace {

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
                     "bundled dictionary of publicly known default keys)")
        ->allow_extra_args(false);
    mifare
        ->add_option("-K,--keys", m->keyFiles,
                     "Key file: one key of 12 hexadecimal digits a line, '#' comments (as "
                     "proxmark3 and MIFARE Classic Tool keep them), or the JSON of --keys-out; "
                     "tried after -k and before the bundled dictionary; repeat for several")
        ->allow_extra_args(false);
    mifare->add_flag("--no-default-keys", m->noDefaultKeys,
                     "Leave out the bundled dictionary of publicly known default keys, which is "
                     "tried when neither -k, -s nor -r is given");
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
    dump->add_flag(
        "--progress", d->progress,
        "Report on stderr, sector by sector, how many keys were tried and which opened it");
    dump->add_option("-o,--output", d->output,
                     "Write the dump to this file too: .bin or .mfd (raw image), .eml (a block "
                     "a line), .json (proxmark3's layout) or .mct (MIFARE Classic Tool)");
    dump->add_option("--format", d->format, "The file's format, whatever its name ends in")
        ->check(CLI::IsMember({"bin", "mfd", "eml", "json", "mct"}));
    dump->add_option("--keys-out", d->keysOut,
                     "Write the keys found to this file, which -K reads back: JSON (sector, key "
                     "A, key B) when it ends in .json, else one key a line");
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
    restore->add_option("file", r->file, "The dump file (.bin, .mfd, .eml, .json or .mct)")
        ->required();
    restore->add_option("--format", r->format, "The file's format, whatever its name ends in")
        ->check(CLI::IsMember({"bin", "mfd", "eml", "json", "mct"}));
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
        RefuseJson(cli, "mifare restore");
    });

    auto b = std::make_shared<BlockOptions>();
    auto* read = mifare->add_subcommand("read", "Read one block");
    read->add_option("block", b->block, "Block number: 0..63 on a 1K card, 0..255 on a 4K card")
        ->required()
        ->check(CLI::Range(0, 255));
    read->callback([&cli, m, b] {
        cli.action = [&cli, m, b](Library& library) {
            return Done(
                [&] { MifareReadCommand(library, cli.Port(), *m, b->block, cli.global.json); });
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
                MifareWriteCommand(library, cli.Port(), *m, b->block, b->data, b->trailer,
                                   cli.global.json);
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
                return Done([&] {
                    MifareValueCommand(library, cli.Port(), *m, op, b->block, b->operand,
                                       cli.global.json);
                });
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

    auto access = std::make_shared<std::pair<std::string, std::string>>();
    auto* accessCommand = mifare->add_subcommand(
        "access",
        "Access bits in words, or the bytes of access conditions: the datasheet's tables, as "
        "the dump shows them");
    accessCommand->add_option("bytes", access->first,
                              "Bytes 6..8 of a sector trailer (such as FF0780), or 6..9");
    accessCommand->add_option(
        "--encode", access->second,
        "Conditions C1C2C3 of the data groups and the trailer, as \"data:000,000,000 "
        "trailer:001\" (\"data:000\" for all three groups alike)");
    accessCommand->callback([&cli, access] {
        cli.action = [access](Library&) {
            return Done([&] { MifareAccessCommand(access->first, access->second); });
        };
        RefuseJson(cli, "mifare access");
    });

    auto* storeKey = mifare->add_subcommand(
        "store-key",
        "Store a key in the reader: numbers 0..15 are its stored keys (log in with --stored N), "
        "A, B and F its own keys (--reader-key A|B|F)");
    storeKey->add_option("number", b->keyNumber, "0..15, or A, B or F")->required();
    storeKey->add_option("key", b->key, "12 hexadecimal digits")->required();
    storeKey->callback([&cli, b] {
        cli.action = [&cli, b](Library& library) {
            return Done([&] {
                MifareStoreKeyCommand(library, cli.Port(), b->keyNumber, b->key, cli.global.json);
            });
        };
    });
}

}  // namespace zelvorn::tool
