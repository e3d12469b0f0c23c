// zelvorn: the reader library from the shell.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <functional>
#include <optional>

#include <fmt/format.h>

#include "tool/commands.h"
#include "tool/errors.h"
#include "tool/library.h"

using namespace zelvorn::tool;

namespace {

struct GlobalOptions {
    int port = 0;
    bool useVirtual = false;
    std::string scenario;
    std::string capture;
    std::string library;
};

// What the chosen subcommand does once the library is loaded.
using Action = std::function<int(Library&, const GlobalOptions&)>;

std::int16_t Port(const GlobalOptions& g) {
    return static_cast<std::int16_t>(g.port);
}

int Done(const std::function<void()>& f) {
    f();
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Drives a Zelvorn contactless reader: lists cards, dumps MIFARE Classic cards, sends "
        "APDUs to processor cards, reads and writes ASK tickets.\n"
        "Works on a real reader (libzelvorn) or, with --virtual, on the emulated reader and "
        "cards of libzelvorn-virtual.",
        "zelvorn"};
    app.footer(ExitCodeHelp());
    app.require_subcommand(1);
    app.fallthrough();

    GlobalOptions g;
    Action action;
    app.add_option("-p,--port", g.port, "Reader port, 0..19 (default 0)")->check(CLI::Range(0, 19));
    app.add_flag("--virtual", g.useVirtual,
                 "Use the virtual reader (libzelvorn-virtual; its cards come from the file "
                 "that ZELVORN_VIRTUAL_SCENARIO names, or its default scenario)");
    app.add_option("--scenario", g.scenario,
                   "Scenario file for the virtual reader (implies --virtual)")
        ->check(CLI::ExistingFile);
    app.add_option("--capture", g.capture,
                   "Write the virtual reader's USB traffic to this pcap file, for Wireshark "
                   "(implies --virtual)");
    app.add_option("--library", g.library, "Load this library file instead");

    // --- list, info, field ---------------------------------------------------
    auto* list = app.add_subcommand("list", "List the readers and the cards in their fields");
    list->callback([&] {
        action = [&app](Library& library, const GlobalOptions& o) {
            const bool portGiven = app.get_option("--port")->count() > 0;
            return Done([&] {
                ListCommand(library,
                            portGiven ? std::optional<std::int16_t>(Port(o)) : std::nullopt);
            });
        };
    });

    auto* info = app.add_subcommand(
        "info", "Show the library version and the reader's status report and RF field");
    info->callback([&] {
        action = [](Library& library, const GlobalOptions& o) {
            return Done([&] { InfoCommand(library, Port(o)); });
        };
    });

    auto* field = app.add_subcommand("field", "Switch the reader's RF field on or off");
    std::string fieldState;
    field->add_option("state", fieldState, "on or off")
        ->required()
        ->check(CLI::IsMember({"on", "off"}));
    field->callback([&] {
        action = [&fieldState](Library& library, const GlobalOptions& o) {
            return Done([&] { FieldCommand(library, Port(o), fieldState == "on"); });
        };
    });

    // --- mifare -------------------------------------------------------------------
    auto* mifare = app.add_subcommand("mifare", "MIFARE Classic cards");
    mifare->require_subcommand(1);
    mifare->fallthrough();
    MifareOptions m;
    std::string keyType = "A";
    mifare->add_option("-k,--key", m.keys,
                       "Key of 12 hexadecimal digits; repeat to try several (default: the "
                       "transport key FFFFFFFFFFFF)");
    mifare
        ->add_option("-s,--stored", m.storedKeys,
                     "Number of a key stored in the reader; repeat to try several")
        ->check(CLI::Range(0, 255));
    mifare->add_option("-t,--key-type", keyType, "Log in with key A or key B (default A)")
        ->check(CLI::IsMember({"A", "B", "a", "b"}));
    mifare->add_option("-c,--card", m.card,
                       "Serial number of the card to use (default: the first in the field)");

    auto* dump = mifare->add_subcommand("dump",
                                        "Read every sector and show blocks, access "
                                        "bits and value blocks");
    DumpOptions d;
    dump->add_option("--first", d.firstSector, "First sector to read")->check(CLI::Range(0, 39));
    dump->add_option("--last", d.lastSector, "Last sector to read")->check(CLI::Range(0, 39));
    dump->add_flag("--progress", d.progress,
                   "Report progress on stderr even when it is not a terminal");
    dump->callback([&] {
        action = [&](Library& library, const GlobalOptions& o) {
            m.keyType = keyType[0];
            return MifareDumpCommand(library, Port(o), m, d);
        };
    });

    int block = 0;
    auto* read = mifare->add_subcommand("read", "Read one block");
    read->add_option("block", block, "Block number, 0..255")->required()->check(CLI::Range(0, 255));
    read->callback([&] {
        action = [&](Library& library, const GlobalOptions& o) {
            m.keyType = keyType[0];
            return Done([&] { MifareReadCommand(library, Port(o), m, block); });
        };
    });

    auto* write = mifare->add_subcommand("write", "Write one block of 16 bytes");
    std::string blockData;
    bool trailer = false;
    write->add_option("block", block, "Block number, 0..255")
        ->required()
        ->check(CLI::Range(0, 255));
    write->add_option("data", blockData, "16 bytes as 32 hexadecimal digits")->required();
    write->add_flag("--trailer", trailer, "Allow writing a sector trailer (keys and access bits)");
    write->callback([&] {
        action = [&](Library& library, const GlobalOptions& o) {
            m.keyType = keyType[0];
            return Done(
                [&] { MifareWriteCommand(library, Port(o), m, block, blockData, trailer); });
        };
    });

    auto* value = mifare->add_subcommand("value", "Value block operations");
    value->require_subcommand(1);
    value->fallthrough();
    std::int64_t operand = 0;
    const auto addValue = [&](const char* name, const char* help, ValueOperation op,
                              const char* operandName, const char* operandHelp) {
        auto* sub = value->add_subcommand(name, help);
        sub->add_option("block", block, "Value block number, 0..255")
            ->required()
            ->check(CLI::Range(0, 255));
        if (operandName != nullptr) sub->add_option(operandName, operand, operandHelp)->required();
        sub->callback([&, op] {
            action = [&, op](Library& library, const GlobalOptions& o) {
                m.keyType = keyType[0];
                return Done([&] { MifareValueCommand(library, Port(o), m, op, block, operand); });
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

    auto* storeKey =
        mifare->add_subcommand("store-key", "Store a key in the reader under a number");
    int keyNumber = 0;
    std::string storedKey;
    storeKey->add_option("number", keyNumber, "Key number")->required()->check(CLI::Range(0, 255));
    storeKey->add_option("key", storedKey, "12 hexadecimal digits")->required();
    storeKey->callback([&] {
        action = [&](Library& library, const GlobalOptions& o) {
            return Done([&] { MifareStoreKeyCommand(library, Port(o), keyNumber, storedKey); });
        };
    });

    // --- apdu -----------------------------------------------------------------------
    auto* apdu = app.add_subcommand(
        "apdu", "Send APDUs to an ISO/IEC 14443-4 processor card and show the responses");
    ApduOptions a;
    apdu->add_option("apdus", a.apdus, "Command APDUs in hexadecimal, sent in order");
    apdu->add_option("-f,--script", a.script,
                     "File of APDUs, one a line ('#' starts a comment), sent after the others");
    apdu->add_option("-c,--card", a.card,
                     "Serial number of the card (default: the first processor card)");
    apdu->add_option("--fsdi", a.fsdi, "FSDI announced in RATS, 0..8 (default 4)")
        ->check(CLI::Range(0, 8));
    apdu->add_flag("--check", a.stopOnError,
                   "Stop with exit code 1 at a status word other than 9000 or 61xx");
    apdu->callback([&] {
        action = [&a](Library& library, const GlobalOptions& o) {
            return ApduCommand(library, Port(o), a);
        };
    });

    // --- ask --------------------------------------------------------------------------
    auto* ask = app.add_subcommand("ask", "ASK ticket sectors");
    ask->require_subcommand(1);
    ask->fallthrough();
    int sector = 0;
    auto* askRead = ask->add_subcommand("read", "Read the two bytes of a sector");
    bool multi = false;
    askRead->add_option("sector", sector, "Sector number, 0..255")
        ->required()
        ->check(CLI::Range(0, 255));
    askRead->add_flag("--multi", multi, "Read eight bytes from the sector on");
    askRead->callback([&] {
        action = [&](Library& library, const GlobalOptions& o) {
            return Done([&] { AskReadCommand(library, Port(o), sector, multi); });
        };
    });
    auto* askWrite = ask->add_subcommand("write", "Write the two bytes of a sector");
    std::string sectorData;
    int mode = 0;
    askWrite->add_option("sector", sector, "Sector number, 0..255")
        ->required()
        ->check(CLI::Range(0, 255));
    askWrite->add_option("data", sectorData, "2 bytes as 4 hexadecimal digits")->required();
    askWrite->add_option("--mode", mode, "Write mode: 0 or 1 (the reader's two write commands)")
        ->check(CLI::Range(0, 1));
    askWrite->callback([&] {
        action = [&](Library& library, const GlobalOptions& o) {
            return Done([&] { AskWriteCommand(library, Port(o), sector, sectorData, mode); });
        };
    });

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? kExitOk : kExitUsage;
    }

    try {
        std::string file = g.library;
        if (file.empty()) {
            const bool useVirtual = g.useVirtual || !g.scenario.empty() || !g.capture.empty();
            file = useVirtual ? kVirtualLibrary : kRealLibrary;
        }
        if (!g.scenario.empty()) SetScenarioVariable(g.scenario);
        if (!g.capture.empty()) SetCaptureVariable(g.capture);
        Library library(file);
        return action(library, g);
    } catch (const ToolError& e) {
        std::fflush(stdout);
        fmt::print(stderr, "zelvorn: error: {}\n", e.what());
        return e.ExitCode();
    } catch (const std::exception& e) {
        std::fflush(stdout);
        fmt::print(stderr, "zelvorn: error: {}\n", e.what());
        return kExitFailed;
    }
}
