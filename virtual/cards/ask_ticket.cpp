#include "virtual/cards/ask_ticket.h"

#include "virtual/cards/registry.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

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

const CardKind& AskTicket::Kind() const {
    return kAskTicketKind;
}

namespace {

std::unique_ptr<Card> FromScenario(const Entry& c) {
    c.OnlyKeys({"type", "serial", "sectorCount", "oneTimeSectors", "sectors"});
    const auto count =
        static_cast<unsigned>(c.Has("sectorCount") ? c["sectorCount"].Number(256) : 32);
    std::vector<std::uint8_t> oneTime{2, 3};
    if (c.Has("oneTimeSectors")) {
        oneTime.clear();
        const Entry list = c["oneTimeSectors"];
        for (std::size_t i = 0; i < list.List().size(); ++i) {
            oneTime.push_back(static_cast<std::uint8_t>(list.At(i).Number(255)));
        }
    }
    auto ticket = std::make_unique<AskTicket>(c["serial"].Hex(), count, oneTime);
    if (c.Has("sectors")) {
        const Entry sectors = c["sectors"];
        for (auto& [key, value] : sectors.Object().items()) {
            const Entry at(value, sectors.Where() + "." + key, Entry::File::Scenario);
            const unsigned sector = sectors.Index(key, ticket->SectorCount());
            if (sector < 2) at.Fail("sectors 0 and 1 hold the serial number");
            const auto bytes = at.HexArray<2>();
            ticket->SetSector(sector, bytes[0], bytes[1]);
        }
    }
    return ticket;
}

void SaveState(const Card& card, Json& entry) {
    const auto& ticket = static_cast<const AskTicket&>(card);
    Json sectors = Json::array();
    for (unsigned s = 0; s < ticket.SectorCount(); ++s) {
        sectors.push_back(HexText(ticket.Sector(s).data(), 2));
    }
    entry["sectors"] = std::move(sectors);
}

void LoadState(Card& card, const Entry& entry, StateChanges& changes) {
    auto* ticket = &static_cast<AskTicket&>(card);
    const Entry sectors = entry["sectors"];
    if (!sectors.Value().is_array() || sectors.Value().size() != ticket->SectorCount()) {
        sectors.Fail("expected " + std::to_string(ticket->SectorCount()) + " sectors");
    }
    for (unsigned s = 0; s < ticket->SectorCount(); ++s) {
        const Bytes bytes = sectors.At(s).ExactBytes(2);
        changes.push_back([ticket, s, bytes] { ticket->SetSector(s, bytes[0], bytes[1]); });
    }
}

}  // namespace

const CardKind kAskTicketKind{"ask-ticket", "ASK ticket", FromScenario, SaveState, LoadState};

}  // namespace zelvorn::virt
