// A MIFARE Classic card's memory from anywhere: the MAD, the NDEF sectors it
// names and their TLV area. The first byte picks the card size, the rest is
// the memory from block 0. What reads as a message must write back and read
// the same; formatting then writing then reading must work on every size.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "mifare/classic.h"
#include "tool/ndef/mifare_classic.h"

using namespace zelvorn::ndef;
using namespace zelvorn::ndef::classic;

namespace {

constexpr int kSectorCounts[] = {5, 16, 32, 40};

struct Card {
    std::vector<Block> blocks;
    Bytes Range(int block, int count) const {
        Bytes out;
        for (int b = block; b < block + count; ++b)
            out.insert(out.end(), blocks[b].begin(), blocks[b].end());
        return out;
    }
    Bytes Area(const std::vector<int>& sectors) const {
        Bytes out;
        for (int b : DataBlocks(sectors)) out.insert(out.end(), blocks[b].begin(), blocks[b].end());
        return out;
    }
    void Apply(const std::vector<BlockWrite>& plan) {
        for (const BlockWrite& w : plan) {
            // Never a trailer or a MAD block of the wrong sector, never past the card.
            if (w.block <= 0 || static_cast<std::size_t>(w.block) >= blocks.size())
                __builtin_trap();
            blocks[w.block] = w.data;
        }
    }
};

// Reads the card's NDEF message; empty when the card has none or is refused.
std::optional<Bytes> ReadMessage(const Card& card, int sectorCount, std::vector<int>& sectors,
                                 std::size_t& ndefAt) {
    const std::uint8_t gpb = card.blocks[3][9];
    const Bytes mad2 = HasMad2(gpb) && sectorCount > kMad2Sector ? card.Range(64, 3) : Bytes{};
    sectors = NdefSectors(ParseMad(card.Range(1, 2), gpb, mad2), sectorCount);
    for (int s : sectors) {
        if (s <= 0 || s >= sectorCount || s == kMad2Sector) __builtin_trap();
    }
    const TlvScan scan = ScanArea(sectors, card.Area(sectors));
    if (scan.status == TlvScan::Status::kNeedMore) __builtin_trap();  // the whole area was given
    ndefAt = scan.ndefAt;
    if (scan.status != TlvScan::Status::kMessage) return std::nullopt;
    return scan.message;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const int sectorCount = kSectorCounts[data[0] % 4];
    Card card;
    card.blocks.resize(static_cast<std::size_t>(zelvorn::mifare::BlockCountFor(sectorCount)));
    for (std::size_t i = 1; i < size && (i - 1) / 16 < card.blocks.size(); ++i) {
        card.blocks[(i - 1) / 16][(i - 1) % 16] = data[i];
    }
    std::vector<int> sectors;
    std::size_t ndefAt = 0;
    try {
        const auto message = ReadMessage(card, sectorCount, sectors, ndefAt);
        // Write the message back reversed, then read it again.
        Bytes fresh = message.value_or(Bytes(size % 300, 0x5A));
        std::reverse(fresh.begin(), fresh.end());
        card.Apply(WritePlan(sectors, fresh, card.Area(sectors), ndefAt));
        std::vector<int> again;
        if (ReadMessage(card, sectorCount, again, ndefAt) != fresh || again != sectors)
            __builtin_trap();
    } catch (const NdefError&) {
    }
    // A format, then the input's tail as a message, always reads back.
    Card blank;
    blank.blocks.resize(card.blocks.size());
    blank.Apply(FormatPlan(sectorCount));
    try {
        std::vector<int> formatted;
        std::size_t at = 0;
        if (ReadMessage(blank, sectorCount, formatted, at) != Bytes{}) __builtin_trap();
        const Bytes message(data + 1, data + 1 + std::min(size - 1, Capacity(formatted)));
        blank.Apply(WritePlan(formatted, message, blank.Area(formatted), at));
        if (ReadMessage(blank, sectorCount, formatted, at) != message) __builtin_trap();
    } catch (const NdefError&) {
        __builtin_trap();  // a formatted card takes any message that fits
    }
    return 0;
}
