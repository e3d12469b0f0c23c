#include "virtual/ask_ticket.h"

#include <algorithm>
#include <stdexcept>

namespace zelvorn::virt {

AskTicket::AskTicket(Bytes serial, unsigned sectorCount, std::vector<std::uint8_t> oneTimeSectors)
    : serial_(std::move(serial)), sectors_(sectorCount), oneTime_(std::move(oneTimeSectors)) {
    if (serial_.size() != 4) throw std::invalid_argument("an ASK ticket serial number has 4 bytes");
    if (sectorCount < 4 || sectorCount > 256) {
        throw std::invalid_argument("an ASK ticket has 4 to 256 sectors");
    }
    sectors_[0] = {serial_[0], serial_[1]};
    sectors_[1] = {serial_[2], serial_[3]};
}

bool AskTicket::OneTime(unsigned sector) const {
    return std::find(oneTime_.begin(), oneTime_.end(), sector) != oneTime_.end();
}

void AskTicket::SetSector(unsigned sector, std::uint8_t first, std::uint8_t second) {
    sectors_.at(sector) = {first, second};
}

StatusWord AskTicket::AskRead(std::uint8_t sector, std::uint8_t* out, std::size_t count) {
    if (sector + count > sectors_.size()) return kStatusOutOfRange;
    for (std::size_t i = 0; i < count; ++i) {
        out[2 * i] = sectors_[sector + i][0];
        out[2 * i + 1] = sectors_[sector + i][1];
    }
    return kStatusOk;
}

StatusWord AskTicket::AskWrite(std::uint8_t command, std::uint8_t sector, const std::uint8_t* in2,
                               std::uint8_t* readBack2) {
    if (sector >= sectors_.size()) return kStatusOutOfRange;
    if (sector < 2) return kStatusReadOnly;
    auto& s = sectors_[sector];
    if (command == kEraseAndWrite) {
        if (OneTime(sector)) return kStatusReadOnly;
        s = {in2[0], in2[1]};
    } else {
        s[0] |= in2[0];
        s[1] |= in2[1];
    }
    readBack2[0] = s[0];
    readBack2[1] = s[1];
    return kStatusOk;
}

}  // namespace zelvorn::virt
