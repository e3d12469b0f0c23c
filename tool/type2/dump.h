// Type 2 tag dumps: the raw memory image (pages from 0, 4 bytes each) and
// proxmark3's "mfu" JSON layout ({"FileType": "mfu", "Card": {"UID",
// "Version", "Signature", "Counter0".."Counter2"}, "blocks": {"0": "8 hex
// digits", ...}}), the formats users of other tools already have. Card
// values the tool did not read are left out rather than written as zeros.
//
// And what a restore writes: user pages that differ, and only when asked
// the one-time-programmable page and the lock bytes, which cannot be undone.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "mifare/type2.h"
#include "tool/hex.h"

namespace zelvorn::tool::type2 {

struct Dump {
    Bytes memory;  // whole pages from page 0
    std::optional<std::array<std::uint8_t, 8>> version;
    std::optional<std::array<std::uint8_t, 32>> signature;
    std::array<std::optional<std::uint32_t>, 3> counters;
};

enum class DumpFormat { Binary, Json };

// The format --format names ("bin", "json"), else the file name's
// extension (.bin, .json); UsageError when neither does.
DumpFormat DumpFormatFor(const std::string& path, const std::string& given);

std::string WriteDump(const Dump& dump, DumpFormat format);
// Throws UsageError saying what in the content is wrong: a binary image
// that is not whole pages (4 to 256 of them), a JSON that is not an "mfu"
// dump, blocks missing or not 4 bytes, a UID that disagrees with pages 0-1.
Dump ReadDump(std::string_view content, DumpFormat format);

struct PageWrite {
    std::size_t page;
    std::array<std::uint8_t, 4> data;
    bool operator==(const PageWrite&) const = default;
};

struct RestorePlan {
    std::vector<PageWrite> writes;   // in order: user pages, then OTP and lock bytes
    std::vector<std::string> notes;  // what differs and is left alone
};

// What restoring image (a dump) onto a tag holding tag (its memory as read)
// writes. Pages 0 and 1 (the serial) and the configuration pages are never
// written. Throws UsageError when the dump is for another size of tag, or,
// with withLockAndOtp, when the tag holds one-time bits the dump does not
// (they cannot be cleared).
RestorePlan PlanRestore(const zelvorn::type2::Product& product, std::span<const std::uint8_t> tag,
                        std::span<const std::uint8_t> image, bool withLockAndOtp);

}  // namespace zelvorn::tool::type2
