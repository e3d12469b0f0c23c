// A Type 2 tag's memory from anywhere: capability container, control TLVs
// with their reserved and lock areas, the NDEF TLV. What reads as a message
// on a writable tag must write back and read the same, and a write never
// touches the first four pages, a reserved byte or a page past the data area.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>

#include "tool/ndef/type2.h"

using namespace zelvorn::ndef;
using namespace zelvorn::ndef::type2;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Bytes image(data, data + size);
    TlvScan scan;
    try {
        scan = Read(image);
    } catch (const NdefError&) {
        scan.status = TlvScan::Status::kNoNdef;
    }
    if (scan.status == TlvScan::Status::kNeedMore && scan.needBytes <= size) __builtin_trap();
    if (scan.status == TlvScan::Status::kMessage) {
        Bytes fresh = scan.message;
        std::reverse(fresh.begin(), fresh.end());
        fresh.push_back(static_cast<std::uint8_t>(size));
        try {
            const std::vector<PageWrite> plan = WritePlan(image, fresh);
            const std::size_t end = kDataAreaStart + std::size_t{image[14]} * 8;
            std::set<std::size_t> reserved;
            for (const Area& a : Read(image).reserved) {
                for (std::size_t b = a.begin; b < a.end && b < end; ++b) reserved.insert(b);
            }
            const Bytes before = image;
            for (const PageWrite& w : plan) {
                if (w.page < 4 || (w.page + 1) * kPageSize > end) __builtin_trap();
                std::copy(w.data.begin(), w.data.end(),
                          image.begin() + static_cast<std::ptrdiff_t>(w.page * kPageSize));
            }
            for (std::size_t b : reserved) {
                if (image[b] != before[b]) __builtin_trap();
            }
            if (Read(image).message != fresh) __builtin_trap();
        } catch (const NdefError&) {
        }
    }
    // Formatting as each product: a blank page 3 takes the container.
    for (const Product& p : Products()) {
        try {
            const std::vector<PageWrite> plan = FormatPlan(p, image);
            for (const PageWrite& w : plan) {
                if (w.page < 3 || w.page >= p.pages) __builtin_trap();
            }
        } catch (const NdefError&) {
        }
    }
    return 0;
}
