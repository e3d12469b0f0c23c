#include "virtual/cards/type_b_card.h"

#include "virtual/cards/registry.h"

#include <algorithm>
#include <stdexcept>

namespace zelvorn::virt {

TypeBCard::TypeBCard(Bytes pupi, const std::array<std::uint8_t, 4>& applicationData,
                     const std::array<std::uint8_t, 3>& protocolInfo)
    : pupi_(std::move(pupi)), applicationData_(applicationData), protocolInfo_(protocolInfo) {
    if (pupi_.size() != 4) throw std::invalid_argument("a PUPI has 4 bytes");
}

StatusWord TypeBCard::Atqb(std::uint8_t* out12) {
    // 0x50, PUPI, application data, protocol info.
    out12[0] = 0x50;
    std::copy(pupi_.begin(), pupi_.end(), out12 + 1);
    std::copy(applicationData_.begin(), applicationData_.end(), out12 + 5);
    std::copy(protocolInfo_.begin(), protocolInfo_.end(), out12 + 9);
    return kStatusOk;
}

const CardKind& TypeBCard::Kind() const {
    return kTypeBCardKind;
}

namespace {

std::unique_ptr<Card> FromScenario(const Entry& c) {
    c.OnlyKeys({"type", "pupi", "applicationData", "protocolInfo"});
    if (!c.Has("pupi")) c.Fail("a type B card needs a \"pupi\"");
    return std::make_unique<TypeBCard>(c["pupi"].Hex(),
                                       c.Has("applicationData") ? c["applicationData"].HexArray<4>()
                                                                : std::array<std::uint8_t, 4>{},
                                       c.Has("protocolInfo")
                                           ? c["protocolInfo"].HexArray<3>()
                                           : std::array<std::uint8_t, 3>{0x00, 0x81, 0x71});
}

}  // namespace

const CardKind kTypeBCardKind{"type-b", "ISO/IEC 14443 type B card", FromScenario, nullptr,
                              nullptr};

}  // namespace zelvorn::virt
