// Scenarios for the virtual reader made from what the tool wrote: a MIFARE
// Classic dump becomes a card of the virtual reader's field.
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "tool/cli.h"
#include "tool/dump_file.h"
#include "tool/errors.h"
#include "tool/mifare_layout.h"
#include "tool/output_file.h"

namespace zelvorn::tool {
namespace {

struct FromDumpOptions {
    std::string file;
    std::string format;
    std::string output;
};

int FromDumpCommand(const FromDumpOptions& o) {
    const MifareDump dump = LoadDump(o.file, DumpFormatFor(o.file, o.format));
    const char* type = nullptr;
    if (dump.blocks.size() == 64) type = "mifare-classic-1k";
    if (dump.blocks.size() == 256) type = "mifare-classic-4k";
    if (type == nullptr) {
        throw UsageError(
            fmt::format("{}: {} blocks; the virtual reader has 1K (64 blocks) and "
                        "4K (256 blocks) cards",
                        o.file, dump.blocks.size()));
    }
    Bytes uid = dump.uid;
    if (uid.empty() && dump.blocks[0])
        uid.assign(dump.blocks[0]->begin(), dump.blocks[0]->begin() + 4);
    if (uid.empty()) {
        throw UsageError(fmt::format("{}: neither a serial number nor block 0", o.file));
    }
    nlohmann::ordered_json card{{"type", type}, {"serial", HexText(uid, "")}};
    nlohmann::ordered_json blocks = nlohmann::ordered_json::object();
    nlohmann::ordered_json sectors = nlohmann::ordered_json::object();
    std::vector<int> unread;
    for (int b = 1; b < static_cast<int>(dump.blocks.size()); ++b) {
        const auto& block = dump.blocks[b];
        if (!block) {
            unread.push_back(b);
            continue;
        }
        if (IsTrailer(b)) {
            sectors[std::to_string(SectorOf(b))] = {{"keyA", HexText({block->data(), 6}, "")},
                                                    {"access", HexText({block->data() + 6, 4}, "")},
                                                    {"keyB", HexText({block->data() + 10, 6}, "")}};
        } else if (*block != Block{}) {
            blocks[std::to_string(b)] = HexText(*block, "");
        }
    }
    if (!blocks.empty()) card["blocks"] = blocks;
    if (!sectors.empty()) card["sectors"] = sectors;
    const std::string text =
        nlohmann::ordered_json{{"cards", nlohmann::ordered_json::array({card})}}.dump(2) + "\n";
    if (const std::string unknown = UnknownKeysText(dump); !unknown.empty()) {
        fmt::print(stderr,
                   "zelvorn: warning: the dump does not know {}; the card gets what the dump "
                   "holds there (zeros)\n",
                   unknown);
    }
    if (!unread.empty()) {
        fmt::print(stderr,
                   "zelvorn: warning: {} blocks of the dump were not read; the card "
                   "has zeros (or the transport trailer) there\n",
                   unread.size());
    }
    if (o.output.empty()) {
        fmt::print("{}", text);
    } else {
        WriteOutputFile(o.output, text, "scenario file");
        fmt::print(stderr, "Scenario written to {}\n", o.output);
    }
    return kExitOk;
}

}  // namespace

void RegisterScenarioCommands(CLI::App& app, Cli& cli) {
    auto* scenario = app.add_subcommand("scenario", "Scenario files for the virtual reader");
    scenario->require_subcommand(1);
    auto o = std::make_shared<FromDumpOptions>();
    auto* fromDump = scenario->add_subcommand(
        "from-dump",
        "Make a scenario whose one card is the MIFARE Classic card of a dump file (keys, access "
        "bits and data as dumped); needs no reader");
    fromDump->add_option("file", o->file, "The dump file (.bin, .mfd, .eml, .json or .mct)")
        ->required();
    fromDump->add_option("--format", o->format, "The file's format, whatever its name ends in")
        ->check(CLI::IsMember({"bin", "mfd", "eml", "json", "mct"}));
    fromDump->add_option("-o,--output", o->output, "Write the scenario here (default: stdout)");
    fromDump->callback([&cli, o] { cli.action = [o](Library&) { return FromDumpCommand(*o); }; });
}

}  // namespace zelvorn::tool
