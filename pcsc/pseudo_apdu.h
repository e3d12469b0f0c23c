// The class FF commands PC/SC defines for contactless storage cards, which
// the driver answers itself: a command APDU taken apart, the answer being
// built, and the instruction codes by name.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zelvorn::pcsc {

// The class byte of every pseudo-APDU.
constexpr std::uint8_t kClassPseudo = 0xFF;

// Instructions.
constexpr std::uint8_t kInsGetData = 0xCA;
constexpr std::uint8_t kInsLoadKeys = 0x82;
constexpr std::uint8_t kInsGeneralAuthenticate = 0x86;
constexpr std::uint8_t kInsAuthenticateObsolete = 0x88;
constexpr std::uint8_t kInsReadBinary = 0xB0;
constexpr std::uint8_t kInsUpdateBinary = 0xD6;
constexpr std::uint8_t kInsValue = 0xC2;

// MIFARE key types of the authentication commands.
constexpr std::uint8_t kMifareKeyA = 0x60;
constexpr std::uint8_t kMifareKeyB = 0x61;

// A command APDU taken apart. Class FF commands are short APDUs.
struct Apdu {
    std::uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
    const std::uint8_t* data = nullptr;
    std::size_t lc = 0;
    bool hasLe = false;
    std::size_t le = 0;  // as sent: 0 asks for everything there is

    bool Parse(const std::uint8_t* bytes, std::size_t length) {
        if (length < 4) return false;
        cla = bytes[0];
        ins = bytes[1];
        p1 = bytes[2];
        p2 = bytes[3];
        if (length == 4) return true;
        if (length == 5) {
            hasLe = true;
            le = bytes[4];
            return true;
        }
        lc = bytes[4];
        data = bytes + 5;
        if (lc == 0) return false;  // an extended length: no pseudo-APDU takes one
        if (length == 5 + lc) return true;
        if (length != 6 + lc) return false;
        hasLe = true;
        le = bytes[5 + lc];
        return true;
    }
};

// The data of the answer to a pseudo-APDU, built here and copied to pcscd's
// buffer with its status word when complete.
struct Reply {
    static constexpr std::size_t kCapacity = 258;
    std::uint8_t bytes[kCapacity] = {};
    std::size_t length = 0;

    void Append(const std::uint8_t* data, std::size_t count) {
        count = std::min(count, kCapacity - 2 - length);
        std::memcpy(bytes + length, data, count);
        length += count;
    }
    void Sw(std::uint16_t sw) {
        bytes[length++] = static_cast<std::uint8_t>(sw >> 8);
        bytes[length++] = static_cast<std::uint8_t>(sw);
    }
};

}  // namespace zelvorn::pcsc
