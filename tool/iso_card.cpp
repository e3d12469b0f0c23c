#include "tool/iso_card.h"

#include <algorithm>

#include <fmt/format.h>

#include "iso14443/card_status_words.h"
#include "tool/errors.h"
#include "tool/written.h"

namespace zelvorn::tool {

std::string StatusWordMeaning(std::uint16_t sw) {
    const unsigned low = sw & 0xFF;
    switch (sw >> 8) {
        case 0x61:
            return fmt::format("{} more bytes available", low);
        case 0x6C:
            return fmt::format("wrong Le, {} bytes available", low);
        case 0x63:
            if ((low & 0xF0) == 0xC0)
                return fmt::format("verification failed, {} tries left", low & 0x0F);
            break;
        default:
            break;
    }
    const char* meaning = CardStatus_Meaning(sw);
    return meaning == nullptr ? "" : meaning;
}

nlohmann::ordered_json SelectProcessorCard(const ReaderSession& reader, const std::string& wanted,
                                           bool quiet) {
    const Api& api = reader.api();
    Bytes serial;
    if (!wanted.empty()) {
        serial = ParseHex(wanted, "card serial number");
        if (serial.size() != 4 && serial.size() != 7 && serial.size() != 10) {
            throw UsageError(
                fmt::format("card serial number \"{}\": {} bytes; a serial number has 4, 7 or 10",
                            wanted, serial.size()));
        }
    } else {
        std::uint8_t count = 0;
        std::uint8_t types[ZELVORN_MAX_LISTED_TAGS] = {};
        std::uint8_t lengths[ZELVORN_MAX_LISTED_TAGS] = {};
        std::uint8_t serials[ZELVORN_MAX_LISTED_TAGS * ZELVORN_SERIAL_FIELD] = {};
        Check(ReadWritten({AsBytes(count)},
                          [&] {
                              return api.Zelvorn_ListTags(reader.handle(), &count, types, lengths,
                                                          serials);
                          }),
              "list the cards in the field");
        for (std::uint8_t i = 0; i < count && i < ZELVORN_MAX_LISTED_TAGS; ++i) {
            if ((types[i] & kSakIso14443_4) != 0) {
                const std::uint8_t* s = serials + i * ZELVORN_SERIAL_FIELD;
                serial.assign(s, s + std::min<std::size_t>(lengths[i], ZELVORN_SERIAL_FIELD));
                break;
            }
        }
        if (serial.empty()) {
            throw ToolError(kExitNotFound,
                            "find a processor card: no ISO/IEC 14443-4 card in the field");
        }
    }
    std::uint8_t type = 0;
    const std::int16_t result = ReadWritten({AsBytes(type)}, [&] {
        return api.Zelvorn_MultiTagSelect(reader.handle(), static_cast<std::uint8_t>(serial.size()),
                                          serial.data(), &type, nullptr, nullptr);
    });
    if (result != RESULT_OK) {
        ToolError error =
            StepFailed(fmt::format("select the card {}", HexText(serial, "")), result);
        if (IsLibraryFailure(result)) throw error;
        throw ToolError(kExitNotFound, error.what());
    }
    if ((type & kSakIso14443_4) == 0) {
        throw ToolError(kExitNotFound,
                        fmt::format("the card {} is not an ISO/IEC 14443-4 card ({}, type {:02X})",
                                    HexText(serial, ""), CardTypeName(type), type));
    }
    if (!quiet) {
        fmt::print("Card: {} (type {:02X}), serial {}\n", CardTypeName(type), type,
                   HexText(serial, ""));
    }
    return nlohmann::ordered_json{{"type", fmt::format("{:02X}", type)},
                                  {"name", CardTypeName(type)},
                                  {"serial", HexText(serial, "")}};
}

IsoSession StartIsoSession(const ReaderSession& reader, int fsdi) {
    const Api& api = reader.api();
    std::uint8_t atsLength = 0;
    std::uint8_t ats[117] = {};
    Check(api.PICC_RATS(reader.handle(), static_cast<std::uint8_t>(fsdi), &atsLength, ats),
          "request the ATS (RATS)");
    // T0, the second ATS byte, carries the card's FSCI; without it the card
    // takes the default of FSCI 2.
    const std::size_t atsBytes = std::min<std::size_t>(atsLength, sizeof ats);
    const int fsci = atsBytes >= 2 && ats[0] >= 2 ? ats[1] & 0x0F : 2;
    const std::int16_t fsc = api.PICC_InitBlockNumber(static_cast<std::int16_t>(fsci));
    return IsoSession{Bytes(ats, ats + atsBytes), fsci, fsc};
}

std::size_t ExchangeApdu(const ReaderSession& reader, std::span<const std::uint8_t> apdu,
                         std::span<std::uint8_t> response, const std::string& step) {
    std::int16_t apduLength = static_cast<std::int16_t>(std::min(apdu.size(), kMaxApdu));
    std::int16_t responseLength = 0;
    Check(reader.api().PICC_Xch_APDU(reader.handle(), 0, &apduLength, apdu.data(), &responseLength,
                                     response.data()),
          step);
    return std::min<std::size_t>(
        static_cast<std::size_t>(std::max<std::int16_t>(responseLength, 0)), response.size());
}

}  // namespace zelvorn::tool
