// NDEF on NFC Forum Type 2 tags (MIFARE Ultralight, Ultralight EV1, NTAG):
// memory in pages of 4 bytes; pages 0..2 hold the serial number and the
// static lock bytes, page 3 the capability container E1 VV SS AA (magic,
// mapping version, data area size / 8, access), and the data area from page
// 4 holds the TLVs. Pure functions over a memory image whose byte 0 is page
// 0's first byte; the reader-facing code reads and writes the pages.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "tool/ndef/error.h"
#include "tool/ndef/tlv.h"

namespace zelvorn::ndef::type2 {

constexpr std::size_t kPageSize = 4;
constexpr std::size_t kDataAreaStart = 16;  // page 4
constexpr std::uint8_t kCcMagic = 0xE1;
constexpr std::uint8_t kCcVersion = 0x10;  // mapping version 1.0
constexpr std::uint8_t kCcReadWrite = 0x00;
constexpr std::uint8_t kCcReadOnly = 0x0F;

// A product: its GET_VERSION answer (none for the first Ultralight and
// Ultralight C, which do not know the command), its pages, the data area
// its capability container gives, and the TLVs it carries from the factory.
struct Product {
    std::string_view name;
    std::optional<std::array<std::uint8_t, 8>> version;
    std::size_t pages;
    std::size_t userBytes;         // pages 4 onwards the user may write
    std::uint8_t ccSize;           // capability container byte 2: data area / 8
    std::string_view initialTlvs;  // the factory's TLV area, as bytes
};
std::span<const Product> Products();
const Product* ProductByVersion(std::span<const std::uint8_t> version);
const Product* ProductByName(std::string_view name);

// The capability container of page 3, or empty for a tag that has none
// (magic byte other than E1).
struct CapabilityContainer {
    std::uint8_t version;
    std::size_t dataAreaSize;  // bytes
    std::uint8_t access;
    bool Readable() const { return (access >> 4) == 0; }
    bool Writable() const { return (access & 0x0F) == 0; }
};
std::optional<CapabilityContainer> ParseCapabilityContainer(std::span<const std::uint8_t> image);

// The NDEF message of a tag. image starts at page 0 and may stop short; the
// scan then says how many bytes it needs (read the pages holding them).
// Throws NdefError for a tag without a capability container (it is not
// formatted for NDEF), another major mapping version, denied read access, or
// malformed TLVs.
TlvScan Read(std::span<const std::uint8_t> image);

struct PageWrite {
    std::size_t page;
    std::array<std::uint8_t, 4> data;
    bool operator==(const PageWrite&) const = default;
};

// Whether every page from..to (inclusive) may be written: page 3 and pages
// 4..15 by the static lock bits of page 2, pages from byte 64 on by the
// dynamic lock bits, as the Lock Control TLVs say or, without one, as the
// default layout places them after the data area. Empty when writable, else
// why not. The image must hold the lock bytes.
std::optional<std::string> LockedPages(std::span<const std::uint8_t> image, std::size_t from,
                                       std::size_t to, std::span<const LockControl> locks,
                                       std::size_t dataAreaSize);

// The pages that put message on the tag, in the order to write them: the
// page with the TLV's length first with a length of 0, then the others, then
// that page again with the length (one write when one page does it). Bytes
// of written pages that the TLV does not cover keep their value in image,
// which must reach the end of the data area and the lock bytes. Throws
// NdefError for a read-only tag (capability container or lock bits), a
// message larger than the NDEF area (nothing is written then), or an image
// that is not an NDEF tag's.
std::vector<PageWrite> WritePlan(std::span<const std::uint8_t> image,
                                 std::span<const std::uint8_t> message);

// The largest message the tag holds, from a full image.
std::size_t Capacity(std::span<const std::uint8_t> image);

// What `format` writes: the product's capability container in page 3 and
// its factory TLVs (an empty NDEF message) from page 4, on a tag whose page
// 3 is still blank; a tag that already has the product's capability
// container only gets the TLVs. Page 3 is one-time programmable: bits once
// set stay set, so any other content there is refused. image holds pages 0
// to 3 at least.
std::vector<PageWrite> FormatPlan(const Product& product, std::span<const std::uint8_t> image);

}  // namespace zelvorn::ndef::type2
