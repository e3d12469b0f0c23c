// Control transfers in a usbmon pcap file, as the virtual library's capture
// writes it (link type 220: a 64-byte usbmon header before each packet's
// data): the submissions of transfer type 2. The capture's own enumeration
// of the device counts too, as it would on a real bus.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace zelvorn::bench {

inline std::optional<long> CountControlTransfers(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string d((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    constexpr std::size_t kFileHeader = 24, kRecordHeader = 16, kUsbmonHeader = 64;
    const auto u32 = [&d](std::size_t at) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(d[at])) |
               static_cast<std::uint32_t>(static_cast<unsigned char>(d[at + 1])) << 8 |
               static_cast<std::uint32_t>(static_cast<unsigned char>(d[at + 2])) << 16 |
               static_cast<std::uint32_t>(static_cast<unsigned char>(d[at + 3])) << 24;
    };
    // Little-endian pcap of link type 220 only.
    if (d.size() < kFileHeader || u32(0) != 0xA1B2C3D4u || u32(20) != 220) return std::nullopt;
    long count = 0;
    for (std::size_t at = kFileHeader; at + kRecordHeader <= d.size();) {
        const std::size_t length = u32(at + 8);
        at += kRecordHeader;
        if (length > d.size() - at) return std::nullopt;
        if (length >= kUsbmonHeader && d[at + 8] == 'S' && d[at + 9] == 2) ++count;
        at += length;
    }
    return count;
}

}  // namespace zelvorn::bench
