#include "tool/ndef/type2.h"

#include <algorithm>
#include <map>
#include <string>

namespace zelvorn::ndef::type2 {

using namespace std::string_view_literals;

namespace {

// Static lock bits: byte 10 bit 3 locks page 3, bits 4..7 pages 4..7;
// byte 11 locks pages 8..15. Dynamic lock bits lock the memory from byte 64
// on, where the static ones end.
constexpr std::size_t kStaticLock0 = 10;
constexpr std::size_t kStaticLock1 = 11;
constexpr std::size_t kDynamicLockStart = 64;

// Products as their datasheets give them; the version answers and the
// factory TLVs as nfcpy (src/nfc/tag/tt2_nxp.py) knows them.
const Product kProducts[] = {
    {"MIFARE Ultralight", std::nullopt, 16, 48, 0x06, "\x03\x00\xFE"sv},
    {"MIFARE Ultralight EV1 MF0UL11",
     std::array<std::uint8_t, 8>{0x00, 0x04, 0x03, 0x01, 0x01, 0x00, 0x0B, 0x03}, 20, 48, 0x06,
     "\x03\x00\xFE"sv},
    {"MIFARE Ultralight EV1 MF0UL21",
     std::array<std::uint8_t, 8>{0x00, 0x04, 0x03, 0x01, 0x01, 0x00, 0x0E, 0x03}, 41, 128, 0x10,
     "\x03\x00\xFE"sv},
    {"NTAG210", std::array<std::uint8_t, 8>{0x00, 0x04, 0x04, 0x01, 0x01, 0x00, 0x0B, 0x03}, 20, 48,
     0x06, "\x03\x00\xFE"sv},
    {"NTAG212", std::array<std::uint8_t, 8>{0x00, 0x04, 0x04, 0x01, 0x01, 0x00, 0x0E, 0x03}, 41,
     128, 0x10, "\x01\x03\x90\x0A\x34\x03\x00\xFE"sv},
    {"NTAG213", std::array<std::uint8_t, 8>{0x00, 0x04, 0x04, 0x02, 0x01, 0x00, 0x0F, 0x03}, 45,
     144, 0x12, "\x01\x03\xA0\x0C\x34\x03\x00\xFE"sv},
    {"NTAG215", std::array<std::uint8_t, 8>{0x00, 0x04, 0x04, 0x02, 0x01, 0x00, 0x11, 0x03}, 135,
     504, 0x3E, "\x03\x00\xFE"sv},
    {"NTAG216", std::array<std::uint8_t, 8>{0x00, 0x04, 0x04, 0x02, 0x01, 0x00, 0x13, 0x03}, 231,
     888, 0x6D, "\x03\x00\xFE"sv},
};

std::string Page(std::size_t page) {
    return "page " + std::to_string(page);
}

std::string HexBytes(std::span<const std::uint8_t> bytes) {
    std::string out;
    for (std::uint8_t b : bytes) out += (out.empty() ? "" : " ") + HexByte(b).substr(2);
    return out;
}

// The capability container of an NDEF tag that may be read, or an error
// that says why the tag is not one.
CapabilityContainer NdefCc(std::span<const std::uint8_t> image) {
    if (image.size() < kDataAreaStart) {
        throw NdefError("the memory image holds " + std::to_string(image.size()) +
                        " bytes; pages 0 to 3 (16 bytes) are needed");
    }
    const auto cc = ParseCapabilityContainer(image);
    if (!cc) {
        throw NdefError("page 3 holds " + HexBytes(image.subspan(12, 4)) +
                        ", no NDEF capability container (E1 ...): the tag is not formatted for "
                        "NDEF; format it first");
    }
    if ((cc->version >> 4) != 1) {
        throw NdefError("the capability container names NDEF mapping version " +
                        std::to_string(cc->version >> 4) + "." + std::to_string(cc->version & 15) +
                        "; only 1.x is known");
    }
    if (!cc->Readable()) {
        throw NdefError("the capability container's access byte " + HexByte(cc->access) +
                        " denies reading the NDEF data");
    }
    return *cc;
}

}  // namespace

std::span<const Product> Products() {
    return kProducts;
}

const Product* ProductByVersion(std::span<const std::uint8_t> version) {
    for (const Product& p : kProducts) {
        if (p.version &&
            std::equal(version.begin(), version.end(), p.version->begin(), p.version->end())) {
            return &p;
        }
    }
    return nullptr;
}

const Product* ProductByName(std::string_view name) {
    for (const Product& p : kProducts) {
        if (p.name == name) return &p;
    }
    return nullptr;
}

std::optional<CapabilityContainer> ParseCapabilityContainer(std::span<const std::uint8_t> image) {
    if (image.size() < kDataAreaStart || image[12] != kCcMagic) return std::nullopt;
    return CapabilityContainer{image[13], std::size_t{image[14]} * 8, image[15]};
}

TlvScan Read(std::span<const std::uint8_t> image) {
    if (image.size() < kDataAreaStart) {
        TlvScan more;
        more.status = TlvScan::Status::kNeedMore;
        more.needBytes = kDataAreaStart;
        return more;
    }
    const CapabilityContainer cc = NdefCc(image);
    return ScanTlvArea(image, kDataAreaStart, kDataAreaStart + cc.dataAreaSize, true);
}

std::optional<std::string> LockedPages(std::span<const std::uint8_t> image, std::size_t from,
                                       std::size_t to, std::span<const LockControl> locks,
                                       std::size_t dataAreaSize) {
    if (image.size() < kDataAreaStart) return "the image lacks the static lock bytes of page 2";
    const auto statically = [&](std::size_t page) {
        if (page == 3) return (image[kStaticLock0] & 0x08) != 0;
        if (page >= 4 && page <= 7) return (image[kStaticLock0] >> page & 1) != 0;
        if (page >= 8 && page <= 15) return (image[kStaticLock1] >> (page - 8) & 1) != 0;
        return false;
    };
    for (std::size_t page = from; page <= to; ++page) {
        if (statically(page)) return Page(page) + " is locked by a static lock bit of page 2";
    }
    std::vector<LockControl> dynamic(locks.begin(), locks.end());
    if (dynamic.empty() && dataAreaSize > kDynamicLockStart - kDataAreaStart) {
        // Without a Lock Control TLV the lock bytes follow the data area.
        dynamic.push_back({kDataAreaStart + dataAreaSize,
                           (dataAreaSize - (kDynamicLockStart - kDataAreaStart) + 7) / 8, 8});
    }
    std::size_t bit = 0;  // numbered across the TLVs, in their order
    for (const LockControl& lock : dynamic) {
        for (std::size_t i = 0; i < lock.bits; ++i, ++bit) {
            const std::size_t at = lock.address + i / 8;
            if (at >= image.size()) {
                return "the lock bytes at byte " + std::to_string(lock.address) +
                       " are not in the image: read up to byte " +
                       std::to_string(lock.address + (lock.bits + 7) / 8);
            }
            if ((image[at] >> (i % 8) & 1) == 0) continue;
            const std::size_t first = kDynamicLockStart + bit * lock.bytesPerBit;
            const std::size_t last = first + lock.bytesPerBit - 1;
            if (last / kPageSize >= from && first / kPageSize <= to) {
                return Page(std::max(first / kPageSize, from)) +
                       " is locked by a dynamic lock bit (lock byte at byte " + std::to_string(at) +
                       " is " + HexByte(image[at]) + ")";
            }
        }
    }
    return std::nullopt;
}

std::vector<PageWrite> WritePlan(std::span<const std::uint8_t> image,
                                 std::span<const std::uint8_t> message) {
    const CapabilityContainer cc = NdefCc(image);
    if (!cc.Writable()) {
        throw NdefError("the tag is read-only: its capability container's access byte is " +
                        HexByte(cc.access));
    }
    const std::size_t end = kDataAreaStart + cc.dataAreaSize;
    if (image.size() < end) {
        throw NdefError("the memory image ends at byte " + std::to_string(image.size()) +
                        "; read the data area up to byte " + std::to_string(end) + " first");
    }
    const TlvScan scan = ScanTlvArea(image, kDataAreaStart, end, true);
    const std::vector<std::size_t> usable = UsableAddresses(scan.ndefAt, end, scan.reserved);
    TlvPlacement placement;
    try {
        placement = PlaceNdefTlv(message, usable);
    } catch (const NdefError& e) {
        throw NdefError(std::string(e.what()) + " on this tag; nothing was written");
    }
    std::map<std::size_t, std::array<std::uint8_t, 4>> changed;
    for (const auto& [address, value] : placement.bytes) {
        const std::size_t page = address / kPageSize;
        auto [it, added] = changed.try_emplace(page);
        if (added)
            std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(page * kPageSize), 4,
                        it->second.begin());
        it->second[address % kPageSize] = value;
    }
    for (const auto& entry : changed) {
        if (auto locked =
                LockedPages(image, entry.first, entry.first, scan.locks, cc.dataAreaSize)) {
            throw NdefError(*locked + ": the tag is read-only there; nothing was written");
        }
    }
    std::vector<PageWrite> out;
    if (changed.size() == 1) {
        out.push_back({changed.begin()->first, changed.begin()->second});
        return out;
    }
    std::map<std::size_t, std::array<std::uint8_t, 4>> emptied;
    for (std::size_t a : placement.lengthAddresses) {
        emptied.try_emplace(a / kPageSize, changed[a / kPageSize]).first->second[a % kPageSize] = 0;
    }
    for (const auto& [page, data] : emptied) out.push_back({page, data});
    for (const auto& [page, data] : changed) {
        if (!emptied.contains(page)) out.push_back({page, data});
    }
    for (const auto& [page, data] : emptied) out.push_back({page, changed[page]});
    return out;
}

std::size_t Capacity(std::span<const std::uint8_t> image) {
    const CapabilityContainer cc = NdefCc(image);
    const std::size_t end = kDataAreaStart + cc.dataAreaSize;
    const TlvScan scan = ScanTlvArea(image, kDataAreaStart, end, true);
    if (scan.status == TlvScan::Status::kNeedMore) {
        throw NdefError("the memory image ends at byte " + std::to_string(image.size()) +
                        "; read up to byte " + std::to_string(scan.needBytes) + " first");
    }
    return TlvCapacity(UsableAddresses(scan.ndefAt, end, scan.reserved).size());
}

std::vector<PageWrite> FormatPlan(const Product& product, std::span<const std::uint8_t> image) {
    if (image.size() < kDataAreaStart) {
        throw NdefError("formatting needs pages 0 to 3 of the tag (16 bytes), the image holds " +
                        std::to_string(image.size()));
    }
    const std::array<std::uint8_t, 4> cc = {kCcMagic, kCcVersion, product.ccSize, kCcReadWrite};
    const auto page3 = image.subspan(12, 4);
    std::vector<PageWrite> out;
    if (std::all_of(page3.begin(), page3.end(), [](std::uint8_t b) { return b == 0; })) {
        out.push_back({3, cc});
    } else if (!std::equal(page3.begin(), page3.end(), cc.begin())) {
        throw NdefError("page 3 already holds " + HexBytes(page3) +
                        ", not the capability container " + HexBytes(cc) + " of an " +
                        std::string(product.name) +
                        ": its bits are one-time programmable, so the tag cannot be formatted "
                        "for NDEF as this product");
    }
    const std::string_view tlvs = product.initialTlvs;
    for (std::size_t offset = 0; offset < tlvs.size(); offset += kPageSize) {
        const std::size_t page = (kDataAreaStart + offset) / kPageSize;
        PageWrite write{page, {}};
        for (std::size_t i = 0; i < kPageSize; ++i) {
            const std::size_t address = page * kPageSize + i;
            write.data[i] = offset + i < tlvs.size() ? static_cast<std::uint8_t>(tlvs[offset + i])
                            : address < image.size() ? image[address]
                                                     : 0;
        }
        out.push_back(write);
    }
    return out;
}

}  // namespace zelvorn::ndef::type2
