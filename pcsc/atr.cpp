#include "pcsc/atr.h"

#include <algorithm>
#include <cstring>

namespace zelvorn::pcsc {

std::uint8_t Atr_Tck(const std::uint8_t* atr, std::size_t lengthWithoutTck) {
    std::uint8_t tck = 0;
    for (std::size_t i = 1; i < lengthWithoutTck; ++i) tck ^= atr[i];
    return tck;
}

std::size_t Atr_StorageCard(std::uint8_t standard, std::uint16_t cardName, std::uint8_t* out) {
    // TS, T0 (15 historical bytes), TD1 (T=0, TD2 follows), TD2 (T=1), then
    // the historical bytes: category 80, the application identifier tag 4F
    // with the registered PC/SC identifier, standard, card name, RFU.
    const std::uint8_t head[] = {0x3B, 0x8F, 0x80, 0x01, 0x80, 0x4F,    0x0C,
                                 0xA0, 0x00, 0x00, 0x03, 0x06, standard};
    std::memcpy(out, head, sizeof head);
    std::size_t n = sizeof head;
    out[n++] = static_cast<std::uint8_t>(cardName >> 8);
    out[n++] = static_cast<std::uint8_t>(cardName);
    for (int i = 0; i < 4; ++i) out[n++] = 0x00;
    out[n] = Atr_Tck(out, n);
    return n + 1;
}

std::size_t Atr_FromHistorical(const std::uint8_t* historical, std::size_t count,
                               std::uint8_t* out) {
    count = std::min(count, kMaxHistorical);
    out[0] = 0x3B;
    out[1] = static_cast<std::uint8_t>(0x80 | count);
    out[2] = 0x80;
    out[3] = 0x01;
    if (count > 0) std::memcpy(out + 4, historical, count);
    out[4 + count] = Atr_Tck(out, 4 + count);
    return count + 5;
}

std::size_t Atr_TypeB(const std::uint8_t* applicationData4, const std::uint8_t* protocolInfo3,
                      std::uint8_t mbli, std::uint8_t* out) {
    std::uint8_t historical[8];
    std::memcpy(historical, applicationData4, 4);
    std::memcpy(historical + 4, protocolInfo3, 3);
    historical[7] = static_cast<std::uint8_t>(mbli << 4);
    return Atr_FromHistorical(historical, sizeof historical, out);
}

bool Ats_Parse(const std::uint8_t* ats, std::size_t length, AtsFields* fields) {
    // TL counts itself; what the reader delivers beyond TL is not the card's.
    if (length == 0 || ats[0] == 0 || ats[0] > length) return false;
    const std::size_t tl = ats[0];
    *fields = {2, nullptr, 0};  // no format byte: FSCI 2
    if (tl == 1) return true;
    const std::uint8_t t0 = ats[1];
    std::size_t pos = 2;
    for (std::uint8_t presence = 0x10; presence <= 0x40; presence <<= 1) {
        if ((t0 & presence) != 0) ++pos;
    }
    if (pos > tl) return false;
    *fields = {static_cast<std::uint8_t>(t0 & 0x0F), ats + pos, tl - pos};
    return true;
}

}  // namespace zelvorn::pcsc
