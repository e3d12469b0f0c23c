// Scenarios: the reader's settings and the cards in its field, built in C++
// for tests or read from a JSON file a person writes by hand (the format is
// described in docs/virtual-reader.md).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "virtual/card.h"
#include "virtual/virtual_reader.h"

namespace zelvorn::virt {

class Firmware;

struct Scenario {
    std::uint32_t readerSerial = 0x5A4C0001;
    std::uint8_t userPortInputs = 0x00;
    bool fieldOn = true;
    // EEPROM bytes to set, by address, over the reader's shipped contents.
    std::vector<std::pair<std::uint8_t, Bytes>> eeprom;
    // Keys the reader holds: numbers 0..15, or 0xAA, 0xBB, 0xFF for its own.
    std::vector<std::pair<std::uint8_t, std::array<std::uint8_t, 6>>> keys;
    std::vector<std::unique_ptr<Card>> cards;
    WireFaults faults;

    template <typename T, typename... Args>
    T& Add(Args&&... args) {
        auto card = std::make_unique<T>(std::forward<Args>(args)...);
        T& ref = *card;
        cards.push_back(std::move(card));
        return ref;
    }
};

// A scenario file that cannot be used; what() names the offending entry.
class ScenarioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One factory-fresh MIFARE Classic 1K (transport keys FF..FF), one processor
// card with a file system, one type B card and one ASK ticket.
Scenario Scenario_Default();

Scenario Scenario_FromJson(const std::string& text);
Scenario Scenario_FromFile(const std::string& path);

// Gives a firmware the scenario's settings and moves its cards into the field.
void Apply(Scenario& scenario, Firmware& firmware);

// The serial numbers and file identifiers of the default scenario.
namespace defaults {
inline const Bytes kClassicSerial{0xA1, 0xB2, 0xC3, 0xD4};
inline const Bytes kProcessorSerial{0x04, 0x5A, 0x45, 0x4C, 0x56, 0x4F, 0x01};
inline const Bytes kTypeBPupi{0x1B, 0x2B, 0x3B, 0x4B};
inline const Bytes kTicketSerial{0xA5, 0x4B, 0x00, 0x01};
inline const Bytes kType2Serial{0x04, 0x5A, 0x4C, 0x56, 0x4F, 0x52, 0x4E};  // an NTAG215
inline const Bytes kApplicationAid{0xA0, 0x00, 0x00, 0x05, 0x5A, 0x45, 0x4C, 0x56, 0x01};
constexpr std::uint16_t kApplicationDf = 0x5000;
constexpr std::uint16_t kDataFile = 0x5001;  // 4096 bytes, byte i holds i mod 251
constexpr std::uint16_t kDataFileSize = 4096;
constexpr std::uint16_t kLabelFile = 0x5002;      // 16 bytes of text
constexpr std::uint16_t kDirectoryFile = 0x2F00;  // under the master file
}  // namespace defaults

}  // namespace zelvorn::virt
