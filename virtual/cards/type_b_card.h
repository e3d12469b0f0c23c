// A card of ISO/IEC 14443 type B, as far as the reader deals with one: it
// answers the request with its ATQB.
#pragma once

#include <array>
#include <cstdint>

#include "virtual/card.h"

namespace zelvorn::virt {

class TypeBCard : public Card {
public:
    // pupi: 4 bytes; applicationData: 4 bytes; protocolInfo: 3 bytes.
    TypeBCard(Bytes pupi, const std::array<std::uint8_t, 4>& applicationData,
              const std::array<std::uint8_t, 3>& protocolInfo);

    const CardKind& Kind() const override;
    AirInterface Air() const override { return AirInterface::TypeB; }
    std::uint8_t TypeByte() const override { return 0xB0; }
    const Bytes& Serial() const override { return pupi_; }
    void PowerUp() override {}
    StatusWord Atqb(std::uint8_t* out12) override;

private:
    Bytes pupi_;
    std::array<std::uint8_t, 4> applicationData_;
    std::array<std::uint8_t, 3> protocolInfo_;
};

// The kind "type-b".
extern const CardKind kTypeBCardKind;

}  // namespace zelvorn::virt
