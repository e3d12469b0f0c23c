// An ASK ticket: a memory of 2-byte sectors addressed by a one-byte number.
//
// Sectors 0 and 1 hold the ticket's serial number and cannot be written. A
// set of one-time-programmable sectors (by default 2 and 3) takes bits only:
// once set, a bit stays set. The two write commands differ in the same way:
// 0x32 erases and writes (the sector takes the two bytes; refused on
// one-time-programmable sectors), 0x33 writes without erasing (the two bytes
// are OR-ed into what the sector holds; allowed on every writable sector).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "virtual/card.h"

namespace zelvorn::virt {

class AskTicket : public Card {
public:
    static constexpr std::uint8_t kEraseAndWrite = 0x32;
    static constexpr std::uint8_t kWriteWithoutErase = 0x33;

    // serial: 4 bytes, kept in sectors 0 and 1; sectorCount at least 4.
    explicit AskTicket(Bytes serial, unsigned sectorCount = 32,
                       std::vector<std::uint8_t> oneTimeSectors = {2, 3});

    const CardKind& Kind() const override;
    AirInterface Air() const override { return AirInterface::AskTicket; }
    std::uint8_t TypeByte() const override { return 0xA5; }
    const Bytes& Serial() const override { return serial_; }
    void PowerUp() override {}
    StatusWord AskRead(std::uint8_t sector, std::uint8_t* out, std::size_t sectors) override;
    StatusWord AskWrite(std::uint8_t command, std::uint8_t sector, const std::uint8_t* in2,
                        std::uint8_t* readBack2) override;

    unsigned SectorCount() const { return static_cast<unsigned>(sectors_.size()); }
    void SetSector(unsigned sector, std::uint8_t first, std::uint8_t second);
    const std::array<std::uint8_t, 2>& Sector(unsigned sector) const { return sectors_.at(sector); }

private:
    bool OneTime(unsigned sector) const;

    Bytes serial_;
    std::vector<std::array<std::uint8_t, 2>> sectors_;
    std::vector<std::uint8_t> oneTime_;
};

// The kind "ask-ticket".
extern const CardKind kAskTicketKind;

}  // namespace zelvorn::virt
