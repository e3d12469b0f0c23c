// Answers to reset for contactless cards, built the way PC/SC readers build
// them so that programs recognise the card from the ATR alone.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelvorn::pcsc {

// The longest ATR built here: the storage-card form, 20 bytes.
constexpr std::size_t kMaxAtr = 20;
// The most historical bytes an ATR of the processor-card form carries.
constexpr std::size_t kMaxHistorical = 15;

// Standard byte of the storage-card ATR: ISO/IEC 14443 type A up to layer 3.
constexpr std::uint8_t kStandardIso14443A3 = 0x03;
// Card names of the storage-card ATR.
constexpr std::uint16_t kCardMifare1K = 0x0001;
constexpr std::uint16_t kCardMifare4K = 0x0002;
constexpr std::uint16_t kCardMifareMini = 0x0026;
// MIFARE Ultralight; also what PC/SC readers report for the NTAG21x, which
// have no card name of their own (pcsc-tools' list names the ATR "MIFARE
// Ultralight"). The driver does not ask the tag for its product, so the
// Ultralight EV1 (card name 003D) gets it too.
constexpr std::uint16_t kCardMifareUltralight = 0x0003;

// The XOR of every byte after TS, the ATR's last byte.
std::uint8_t Atr_Tck(const std::uint8_t* atr, std::size_t lengthWithoutTck);

// 3B 8F 80 01 80 4F 0C A0 00 00 03 06 SS NN NN 00 00 00 00 TCK; returns 20.
std::size_t Atr_StorageCard(std::uint8_t standard, std::uint16_t cardName, std::uint8_t* out);

// 3B 8n 80 01 + n historical bytes (cut to kMaxHistorical) + TCK.
std::size_t Atr_FromHistorical(const std::uint8_t* historical, std::size_t count,
                               std::uint8_t* out);

// Type B: 3B 88 80 01 + application data (4) + protocol info (3) + MBLI in
// the high nibble + TCK; returns 13.
std::size_t Atr_TypeB(const std::uint8_t* applicationData4, const std::uint8_t* protocolInfo3,
                      std::uint8_t mbli, std::uint8_t* out);

// What the driver needs from an ATS: the card's FSCI and its historical
// bytes. False for an ATS too short for what its format byte announces.
struct AtsFields {
    std::uint8_t fsci;
    const std::uint8_t* historical;
    std::size_t historicalCount;
};
bool Ats_Parse(const std::uint8_t* ats, std::size_t length, AtsFields* fields);

}  // namespace zelvorn::pcsc
