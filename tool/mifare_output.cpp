#include "tool/mifare_output.h"

#include <cstdio>

#include <fmt/format.h>

#include "tool/errors.h"

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

std::string BlockNote(int block, const std::uint8_t* data) {
    if (block == 0) return "manufacturer block";
    if (IsTrailer(block)) return "trailer";
    if (auto value = DecodeValueBlock(data)) {
        return fmt::format("value {} (address {})", value->value, value->address);
    }
    return "";
}

}  // namespace

void PrintBlock(int block, const std::uint8_t* data) {
    const std::string note = BlockNote(block, data);
    fmt::print("  {:3}  {}  |{}|{}{}\n", block, HexText({data, 16}), AsciiText({data, 16}),
               note.empty() ? "" : "  ", note);
}

void PrintConditions(const Conditions& conditions, int firstBlock, int blocksInSector) {
    const int perGroup = blocksInSector == 16 ? 5 : 1;
    for (int g = 0; g < 3; ++g) {
        const int from = firstBlock + g * perGroup;
        const std::string blocks = firstBlock < 0 ? fmt::format("data group {}", g)
                                   : perGroup == 1
                                       ? fmt::format("block {}", from)
                                       : fmt::format("blocks {}-{}", from, from + perGroup - 1);
        fmt::print("       {:<14} {:03b}  {}\n", blocks + ":", conditions[g],
                   DataConditionText(conditions[g], conditions[3]));
    }
    fmt::print("       {:<14} {:03b}  {}\n", "trailer:", conditions[3],
               TrailerConditionText(conditions[3]));
}

void PrintAccess(int trailerBlock, const std::uint8_t* trailer) {
    const auto conditions = TrailerConditions(trailer);
    if (!conditions) {
        fmt::print("       access bits {} do not match their inverted copy\n",
                   HexText({trailer + 6, 3}, ""));
        return;
    }
    fmt::print("       access bits {}, user byte {:02X}\n", HexText({trailer + 6, 3}, ""),
               trailer[9]);
    const int sector = SectorOf(trailerBlock);
    PrintConditions(*conditions, FirstBlockOf(sector), BlocksIn(sector));
}

void PrintSector(const SectorRead& s, const MifareDump& dump) {
    const int firstBlock = FirstBlockOf(s.sector);
    const int trailerBlock = TrailerOf(s.sector);
    if (s.opener == nullptr) {
        fmt::print("Sector {:2}  not read: no key was accepted ({}; {} tried)\n", s.sector,
                   DescribeResult(s.loginResult),
                   s.keysTried == 1 ? "1 key" : fmt::format("{} keys", s.keysTried));
        return;
    }
    fmt::print("Sector {:2}  blocks {}-{}, {}{}\n", s.sector, firstBlock, trailerBlock,
               s.opener->label, s.otherKey.empty() ? "" : "; " + s.otherKey + " found too");
    for (int block = firstBlock; block <= trailerBlock; ++block) {
        const std::int16_t r = s.blockResults[static_cast<std::size_t>(block - firstBlock)];
        if (r != RESULT_OK) {
            fmt::print("  {:3}  not read: {}\n", block, DescribeResult(r));
            continue;
        }
        const Block& data = *dump.blocks[static_cast<std::size_t>(block)];
        PrintBlock(block, data.data());
        if (block != trailerBlock) continue;
        PrintAccess(block, data.data());
        for (const char kind : {'A', 'B'}) {
            if (!KeyKnown(dump, s.sector, kind)) {
                fmt::print(
                    "       key {} unknown: the card does not show it and no key given found it "
                    "(shown as the card gave it)\n",
                    kind);
            }
        }
    }
}

void Warn(const std::string& text) {
    std::fflush(stdout);
    fmt::print(stderr, "zelvorn: warning: {}\n", text);
}

Progress::Progress(bool requested, int total)
    : terminal_(ZELVORN_ISATTY(ZELVORN_FILENO(stderr)) != 0), lines_(requested), total_(total) {}

void Progress::Start(int sector, int index) {
    if (terminal_ && !lines_) {
        fmt::print(stderr, "\rreading sector {} ({} of {})...", sector, index + 1, total_);
        std::fflush(stderr);
    }
}

void Progress::Done(const SectorRead& read, int index) {
    Clear();
    if (!lines_) return;
    fmt::print(stderr, "progress: sector {} ({} of {}): {} tried, {}\n", read.sector, index + 1,
               total_, read.keysTried == 1 ? "1 key" : fmt::format("{} keys", read.keysTried),
               read.opener == nullptr ? "none accepted" : "opened with " + read.opener->label);
}

void Progress::Clear() {
    if (terminal_ && !lines_) {
        fmt::print(stderr, "\r{:40}\r", "");
        std::fflush(stderr);
    }
}

}  // namespace zelvorn::tool
