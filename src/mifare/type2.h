// MIFARE Ultralight, Ultralight EV1 and NTAG21x (NFC Forum Type 2 tags): the
// products, their memory maps and their commands, as NXP's datasheets
// (MF0ICU1, MF0ULX1, NTAG213/215/216) give them. One table, read alike by the
// virtual reader's tags, the tool, the PC/SC driver and the fuzz targets.
//
// Memory is in 4-byte pages. Page 0 holds serial bytes 0..2 and check byte
// BCC0 = 0x88 ^ s0 ^ s1 ^ s2 (0x88 is the cascade tag); page 1 serial bytes
// 3..6; page 2 BCC1 = s3 ^ s4 ^ s5 ^ s6, an internal byte and the two static
// lock bytes; page 3 is one-time programmable (the NDEF capability
// container). Products with more than 16 pages have dynamic lock bytes after
// the user memory, and the EV1 and NTAG21x products configuration pages at
// the end: CFG0 (AUTH0 in byte 3), CFG1 (ACCESS in byte 0), PWD, PACK.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace zelvorn::type2 {

constexpr std::size_t kPageSize = 4;
constexpr std::size_t kSerialSize = 7;
constexpr std::size_t kSignatureSize = 32;
constexpr std::size_t kVersionSize = 8;
constexpr std::uint8_t kCascadeTag = 0x88;
constexpr std::uint8_t kInternalByte = 0x48;
// The card type byte (SAK) the reader reports for every one of them.
constexpr std::uint8_t kSak = 0x00;

// Commands, first byte of the frame.
constexpr std::uint8_t kCmdGetVersion = 0x60;
constexpr std::uint8_t kCmdRead = 0x30;                // page: four pages, rolling over to page 0
constexpr std::uint8_t kCmdFastRead = 0x3A;            // first, last page
constexpr std::uint8_t kCmdWrite = 0xA2;               // page, 4 bytes
constexpr std::uint8_t kCmdCompatibilityWrite = 0xA0;  // page; then 16 bytes, 4 written
constexpr std::uint8_t kCmdReadCounter = 0x39;
constexpr std::uint8_t kCmdIncrementCounter = 0xA5;
constexpr std::uint8_t kCmdReadSignature = 0x3C;  // 00
constexpr std::uint8_t kCmdPasswordAuth = 0x1B;   // 4-byte password; answer PACK
constexpr std::uint8_t kCmdHalt = 0x50;           // 00

// The 4-bit answers: ACK, and the NAKs the tags send.
constexpr std::uint8_t kAck = 0x0A;
constexpr std::uint8_t kNakInvalidArgument = 0x00;
constexpr std::uint8_t kNakCrc = 0x01;
constexpr std::uint8_t kNakAuthLimit = 0x04;
constexpr std::uint8_t kNakWriteError = 0x05;

// ACCESS byte (CFG1 byte 0).
constexpr std::uint8_t kAccessProt = 0x80;        // reads need the password too, not only writes
constexpr std::uint8_t kAccessCfgLock = 0x40;     // CFG0 and CFG1 locked for good
constexpr std::uint8_t kAccessNfcCounter = 0x10;  // NTAG21x: count the first read of a field
constexpr std::uint8_t kAccessNfcCounterProtected = 0x08;  // NTAG21x: READ_CNT needs the password
constexpr std::uint8_t kAccessAuthLimit = 0x07;  // failed attempts allowed (2^n), 0 unlimited

// Static lock bytes, bytes 2 and 3 of page 2. Byte 2: bit 0 freezes the bit
// that locks page 3, bit 1 the bits of pages 4..9, bit 2 those of pages
// 10..15; bit 3 locks page 3; bits 4..7 pages 4..7. Byte 3 locks pages 8..15.
constexpr std::size_t kStaticLockPage = 2;
constexpr std::size_t kOtpPage = 3;
constexpr std::size_t kFirstUserPage = 4;
constexpr std::size_t kStaticLockedEnd = 16;  // pages below are the static bits' to lock
constexpr std::size_t kFirstDynamicPage = 16;

enum class Family : std::uint8_t { Ultralight, UltralightEv1, Ntag };

struct Product {
    std::string_view kind;  // the virtual reader's and the tool's name: "ntag215"
    std::string_view name;  // "NTAG215"
    Family family;
    bool hasVersion;  // the first Ultralight does not know GET_VERSION
    std::array<std::uint8_t, kVersionSize> version;
    std::size_t pages;
    std::uint8_t ccSize;          // the capability container's data area size / 8
    std::size_t dynamicLockPage;  // 0: none
    std::size_t pagesPerLockBit;  // dynamic lock bits, from page 16 on
    std::size_t configPage;       // CFG0; CFG1, PWD and PACK follow. 0: none
    std::array<std::uint8_t, kPageSize> cfg0, cfg1;  // as they leave the factory
    // The capability container and first user page as the factory writes them.
    std::array<std::uint8_t, kPageSize> factoryCc;
    std::array<std::uint8_t, 8> factoryData;

    std::size_t UserEnd() const {
        return dynamicLockPage != 0 ? dynamicLockPage : configPage != 0 ? configPage : pages;
    }
    std::size_t UserBytes() const { return (UserEnd() - kFirstUserPage) * kPageSize; }
    std::size_t PwdPage() const { return configPage + 2; }
    std::size_t PackPage() const { return configPage + 3; }
};

// Counters: the EV1 has three one-way counters (READ_CNT 0..2), the NTAG21x
// one NFC counter at number 2.
constexpr std::uint8_t kNfcCounterNumber = 2;
constexpr std::size_t kEv1Counters = 3;

inline constexpr Product kProducts[] = {
    {"ultralight",
     "MIFARE Ultralight",
     Family::Ultralight,
     false,
     {},
     16,
     0x06,
     0,
     0,
     0,
     {},
     {},
     {0, 0, 0, 0},
     {}},
    {"ultralight-ev1-48",
     "MIFARE Ultralight EV1 MF0UL11",
     Family::UltralightEv1,
     true,
     {0x00, 0x04, 0x03, 0x01, 0x01, 0x00, 0x0B, 0x03},
     20,
     0x06,
     0,
     0,
     16,
     {0x00, 0x00, 0x00, 0xFF},
     {0x00, 0x05, 0x00, 0x00},
     {0, 0, 0, 0},
     {}},
    {"ultralight-ev1-128",
     "MIFARE Ultralight EV1 MF0UL21",
     Family::UltralightEv1,
     true,
     {0x00, 0x04, 0x03, 0x01, 0x01, 0x00, 0x0E, 0x03},
     41,
     0x10,
     36,
     2,
     37,
     {0x00, 0x00, 0x00, 0xFF},
     {0x00, 0x05, 0x00, 0x00},
     {0, 0, 0, 0},
     {}},
    {"ntag213",
     "NTAG213",
     Family::Ntag,
     true,
     {0x00, 0x04, 0x04, 0x02, 0x01, 0x00, 0x0F, 0x03},
     45,
     0x12,
     40,
     2,
     41,
     {0x04, 0x00, 0x00, 0xFF},
     {0x00, 0x05, 0x00, 0x00},
     {0xE1, 0x10, 0x12, 0x00},
     {0x01, 0x03, 0xA0, 0x0C, 0x34, 0x03, 0x00, 0xFE}},
    {"ntag215",
     "NTAG215",
     Family::Ntag,
     true,
     {0x00, 0x04, 0x04, 0x02, 0x01, 0x00, 0x11, 0x03},
     135,
     0x3E,
     130,
     16,
     131,
     {0x04, 0x00, 0x00, 0xFF},
     {0x00, 0x05, 0x00, 0x00},
     {0xE1, 0x10, 0x3E, 0x00},
     {0x03, 0x00, 0xFE, 0x00, 0, 0, 0, 0}},
    {"ntag216",
     "NTAG216",
     Family::Ntag,
     true,
     {0x00, 0x04, 0x04, 0x02, 0x01, 0x00, 0x13, 0x03},
     231,
     0x6D,
     226,
     16,
     227,
     {0x04, 0x00, 0x00, 0xFF},
     {0x00, 0x05, 0x00, 0x00},
     {0xE1, 0x10, 0x6D, 0x00},
     {0x03, 0x00, 0xFE, 0x00, 0, 0, 0, 0}},
};

constexpr std::span<const Product> Products() {
    return kProducts;
}

constexpr const Product* ProductByKind(std::string_view kind) {
    for (const Product& p : kProducts) {
        if (p.kind == kind) return &p;
    }
    return nullptr;
}

// The product a GET_VERSION answer names, or null. Only the bytes that tell
// the products apart are compared: vendor, type, subtype, major version and
// storage size (bytes 1, 2, 3, 4 and 6); the minor version and protocol
// byte change between production lots.
constexpr const Product* ProductByVersion(std::span<const std::uint8_t> version) {
    if (version.size() != kVersionSize) return nullptr;
    for (const Product& p : kProducts) {
        if (!p.hasVersion) continue;
        if (p.version[1] == version[1] && p.version[2] == version[2] &&
            p.version[3] == version[3] && p.version[4] == version[4] &&
            p.version[6] == version[6]) {
            return &p;
        }
    }
    return nullptr;
}

// The product with that many pages, for tags that do not answer GET_VERSION.
constexpr const Product* ProductByPages(std::size_t pages) {
    for (const Product& p : kProducts) {
        if (p.pages == pages) return &p;
    }
    return nullptr;
}

// Whether a page is locked against writes: pages 0 and 1 always (the
// serial number); page 3 and pages 4..15 by the static lock bits; pages from
// 16 on by the dynamic lock bits; CFG0 and CFG1 by CFGLCK. byte(page, i)
// gives byte i of a page as the tag holds it.
template <typename ByteAt>
constexpr bool PageLocked(const Product& product, ByteAt byte, std::size_t page) {
    if (page < kStaticLockPage) return true;
    if (page == kOtpPage) return (byte(kStaticLockPage, 2) & 0x08) != 0;
    if (page >= kFirstUserPage && page < kStaticLockedEnd) {
        return page < 8 ? (byte(kStaticLockPage, 2) >> page & 1) != 0
                        : (byte(kStaticLockPage, 3) >> (page - 8) & 1) != 0;
    }
    const std::size_t dynamic = product.dynamicLockPage;
    if (dynamic != 0 && page >= kFirstDynamicPage && page < dynamic) {
        const std::size_t bit = (page - kFirstDynamicPage) / product.pagesPerLockBit;
        return (byte(dynamic, bit / 8) >> (bit % 8) & 1) != 0;
    }
    if (product.configPage != 0 && (page == product.configPage || page == product.configPage + 1)) {
        return (byte(product.configPage + 1, 0) & kAccessCfgLock) != 0;
    }
    return false;
}

// The two check bytes of a 7-byte serial number.
constexpr std::uint8_t Bcc0(const std::uint8_t* serial) {
    return static_cast<std::uint8_t>(kCascadeTag ^ serial[0] ^ serial[1] ^ serial[2]);
}
constexpr std::uint8_t Bcc1(const std::uint8_t* serial) {
    return static_cast<std::uint8_t>(serial[3] ^ serial[4] ^ serial[5] ^ serial[6]);
}

// Pages 0..2 as a tag with that serial number carries them, lock bytes 0.
constexpr std::array<std::uint8_t, 12> HeaderPages(const std::uint8_t* serial) {
    return {serial[0], serial[1], serial[2],    Bcc0(serial),  serial[3],       serial[4],
            serial[5], serial[6], Bcc1(serial), kInternalByte, std::uint8_t{0}, std::uint8_t{0}};
}

}  // namespace zelvorn::type2
