// Dump files without a card: from one format to another, and what differs
// between two of them.
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "tool/cli.h"
#include "tool/dump_file.h"
#include "tool/errors.h"
#include "tool/hex.h"
#include "tool/mifare_layout.h"
#include "tool/mifare_output.h"
#include "tool/output_file.h"

namespace zelvorn::tool {

namespace {

struct ConvertOptions {
    std::string in;
    std::string out;
    std::string from;
    std::string to;
};

void DumpConvertCommand(const ConvertOptions& o) {
    const DumpFormat to = DumpFormatFor(o.out, o.to);
    const MifareDump dump = LoadDump(o.in, DumpFormatFor(o.in, o.from));
    std::vector<std::string> warnings;
    WriteOutputFile(o.out, WriteDump(dump, to, warnings), "dump file");
    for (const std::string& w : warnings) Warn(w);
    fmt::print("{} written from {}\n", o.out, o.in);
}

std::string BlockText(const std::optional<Block>& block) {
    return block ? HexText(*block, "") : "not read";
}

// What a changed block means beyond its bytes: access conditions and keys
// of a trailer, the value of a value block.
std::string Meaning(int block, const std::optional<Block>& a, const std::optional<Block>& b) {
    if (!a || !b) return "";
    std::vector<std::string> parts;
    if (IsTrailer(block)) {
        const auto ca = TrailerConditions(a->data());
        const auto cb = TrailerConditions(b->data());
        if (!std::equal(a->begin() + 6, a->begin() + 9, b->begin() + 6)) {
            parts.push_back(fmt::format("access {} -> {}",
                                        ca ? ConditionsText(*ca) : "(bits do not check)",
                                        cb ? ConditionsText(*cb) : "(bits do not check)"));
        }
        if (!std::equal(a->begin(), a->begin() + 6, b->begin())) parts.push_back("key A changed");
        if (!std::equal(a->begin() + 10, a->end(), b->begin() + 10)) {
            parts.push_back("key B changed");
        }
    } else {
        const auto va = DecodeValueBlock(a->data());
        const auto vb = DecodeValueBlock(b->data());
        if (va && vb) {
            parts.push_back(fmt::format("value {} -> {}", va->value, vb->value));
        } else if (va || vb) {
            parts.push_back(va ? fmt::format("value {} -> no value block", va->value)
                               : fmt::format("no value block -> value {}", vb->value));
        }
    }
    std::string out;
    for (const std::string& p : parts) out += (out.empty() ? "" : "; ") + p;
    return out;
}

int DumpDiffCommand(const std::string& first, const std::string& second) {
    const MifareDump a = LoadDump(first, DumpFormatFor(first, ""));
    const MifareDump b = LoadDump(second, DumpFormatFor(second, ""));
    if (a.blocks.size() != b.blocks.size()) {
        fmt::print("{} holds {} blocks, {} holds {}\n", first, a.blocks.size(), second,
                   b.blocks.size());
        return 1;
    }
    int changed = 0;
    for (std::size_t i = 0; i < a.blocks.size(); ++i) {
        if (a.blocks[i] == b.blocks[i]) continue;
        ++changed;
        const int block = static_cast<int>(i);
        const std::string meaning = Meaning(block, a.blocks[i], b.blocks[i]);
        fmt::print("block {:3} (sector {:2}){}\n  - {}\n  + {}\n", block, SectorOf(block),
                   meaning.empty() ? "" : ": " + meaning, BlockText(a.blocks[i]),
                   BlockText(b.blocks[i]));
    }
    if (changed == 0) {
        fmt::print("the dumps hold the same {} blocks\n", a.blocks.size());
        return 0;
    }
    fmt::print("{} of {} blocks differ\n", changed, a.blocks.size());
    return 1;
}

}  // namespace

void RegisterDumpCommands(CLI::App& app, Cli& cli) {
    auto* dump = app.add_subcommand("dump", "MIFARE Classic dump files, without a card");
    dump->require_subcommand(1);
    const std::vector<std::string> formats = {"bin", "mfd", "eml", "json", "mct"};

    auto c = std::make_shared<ConvertOptions>();
    auto* convert = dump->add_subcommand(
        "convert", "Write a dump file in another format: bin/mfd, eml, json or mct");
    convert->add_option("in", c->in, "The dump file to read")->required();
    convert->add_option("out", c->out, "The file to write (replaced whole)")->required();
    convert->add_option("--from", c->from, "IN's format, whatever its name ends in")
        ->check(CLI::IsMember(formats));
    convert->add_option("--to", c->to, "OUT's format, whatever its name ends in")
        ->check(CLI::IsMember(formats));
    convert->callback([&cli, c] {
        cli.action = [c](Library&) { return Done([&] { DumpConvertCommand(*c); }); };
        RefuseJson(cli, "dump convert");
    });

    auto files = std::make_shared<std::pair<std::string, std::string>>();
    auto* diff = dump->add_subcommand(
        "diff",
        "Show the blocks two dump files hold differently, with access bits and values in "
        "words; exit 0 when they hold the same, 1 when they differ");
    diff->add_option("a", files->first, "The first dump file")->required();
    diff->add_option("b", files->second, "The second dump file")->required();
    diff->callback([&cli, files] {
        cli.action = [files](Library&) { return DumpDiffCommand(files->first, files->second); };
        RefuseJson(cli, "dump diff");
    });
}

}  // namespace zelvorn::tool
