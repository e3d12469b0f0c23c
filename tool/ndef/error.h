// What every part of the NDEF code shares: bytes, and the one error it throws
// for input it refuses (a message, a tag's memory image, a card's answer).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace zelvorn::ndef {

using Bytes = std::vector<std::uint8_t>;

// Malformed or unusable input, or a request that cannot be carried out (a
// message larger than the tag). The message says what is wrong and, where
// there is something to do about it, what.
class NdefError : public std::runtime_error {
public:
    explicit NdefError(const std::string& message) : std::runtime_error(message) {}
};

// "0x1F": a byte as the messages show it.
std::string HexByte(unsigned value);

}  // namespace zelvorn::ndef
