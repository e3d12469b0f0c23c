// The status words processor cards end their answers with (ISO/IEC 7816-4),
// each with its meaning in words: the virtual processor card answers with
// them, the tool and its NDEF code explain them. Words whose low byte is a
// count (61xx, 6Cxx, 63Cx) are told by CardStatus_Meaning's callers.
#pragma once

#include <cstdint>

namespace zelvorn {

struct CardStatusRow {
    std::uint16_t word;
    const char* meaning;
};

namespace card_sw {
inline constexpr std::uint16_t kOk = 0x9000;
inline constexpr std::uint16_t kCorrupted = 0x6281;
inline constexpr std::uint16_t kEndOfFile = 0x6282;
inline constexpr std::uint16_t kDeactivated = 0x6283;
inline constexpr std::uint16_t kVerificationFailed = 0x6300;
inline constexpr std::uint16_t kExecutionError = 0x6400;
inline constexpr std::uint16_t kMemoryFailure = 0x6581;
inline constexpr std::uint16_t kWrongLength = 0x6700;
inline constexpr std::uint16_t kNotTransparent = 0x6981;
inline constexpr std::uint16_t kSecurity = 0x6982;
inline constexpr std::uint16_t kConditionsOfUse = 0x6985;
inline constexpr std::uint16_t kNotAllowed = 0x6986;
inline constexpr std::uint16_t kIncorrectData = 0x6A80;
inline constexpr std::uint16_t kFunctionNotSupported = 0x6A81;
inline constexpr std::uint16_t kFileNotFound = 0x6A82;
inline constexpr std::uint16_t kNotEnoughMemory = 0x6A84;
inline constexpr std::uint16_t kWrongP1P2 = 0x6A86;
inline constexpr std::uint16_t kDataNotFound = 0x6A88;
inline constexpr std::uint16_t kOffsetOutside = 0x6B00;
inline constexpr std::uint16_t kInsNotSupported = 0x6D00;
inline constexpr std::uint16_t kClaNotSupported = 0x6E00;
inline constexpr std::uint16_t kNoPreciseDiagnosis = 0x6F00;
}  // namespace card_sw

inline constexpr CardStatusRow kCardStatusTable[] = {
    {card_sw::kOk, "success"},
    {card_sw::kCorrupted, "part of the data may be corrupted"},
    {card_sw::kEndOfFile, "end of file reached before Le bytes"},
    {card_sw::kDeactivated, "selected file deactivated"},
    {card_sw::kVerificationFailed, "verification failed"},
    {card_sw::kExecutionError, "execution error, memory unchanged"},
    {card_sw::kMemoryFailure, "memory failure"},
    {card_sw::kWrongLength, "wrong length"},
    {card_sw::kNotTransparent, "command incompatible with the file structure"},
    {card_sw::kSecurity, "security status not satisfied"},
    {card_sw::kConditionsOfUse, "conditions of use not satisfied"},
    {card_sw::kNotAllowed, "command not allowed"},
    {card_sw::kIncorrectData, "incorrect data"},
    {card_sw::kFunctionNotSupported, "function not supported"},
    {card_sw::kFileNotFound, "file or application not found"},
    {card_sw::kNotEnoughMemory, "not enough memory in the file"},
    {card_sw::kWrongP1P2, "incorrect P1 P2"},
    {card_sw::kDataNotFound, "referenced data not found"},
    {card_sw::kOffsetOutside, "offset outside the file"},
    {card_sw::kInsNotSupported, "instruction not supported"},
    {card_sw::kClaNotSupported, "class not supported"},
    {card_sw::kNoPreciseDiagnosis, "no precise diagnosis"},
};

// The meaning of a status word of the table, or null.
constexpr const char* CardStatus_Meaning(std::uint16_t word) {
    for (const CardStatusRow& row : kCardStatusTable) {
        if (row.word == word) return row.meaning;
    }
    return nullptr;
}

}  // namespace zelvorn
