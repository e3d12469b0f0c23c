// NDEF on NFC Forum Type 4 tags (ISO/IEC 14443-4 cards with the NDEF
// application): the commands of reading and writing the message as data. A
// flow hands out one command APDU at a time and takes the card's answer;
// the reader-facing code exchanges them, tests script the answers.
//
// The application is selected by name (D2760000850101); its capability
// container file E103 gives the largest answer and command the card takes
// (MLe, MLc) and the NDEF file's ID, size and access; the NDEF file starts
// with the message length NLEN (2 bytes, big-endian), the message follows.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "tool/ndef/error.h"

namespace zelvorn::ndef::type4 {

inline constexpr std::array<std::uint8_t, 7> kNdefApplication = {0xD2, 0x76, 0x00, 0x00,
                                                                 0x85, 0x01, 0x01};
inline constexpr std::uint16_t kCapabilityContainerFile = 0xE103;

// Short APDUs: at most 255 bytes of data each way.
inline constexpr std::size_t kMaxShortData = 255;

Bytes SelectApplication();                                   // 00 A4 04 00 07 D2760000850101 00
Bytes SelectFile(std::uint16_t fileId);                      // 00 A4 00 0C 02 ID
Bytes ReadBinary(std::uint16_t offset, std::size_t length);  // 00 B0 offset Le
Bytes UpdateBinary(std::uint16_t offset,
                   std::span<const std::uint8_t> data);  // 00 D6 offset Lc data

// The data of an answer ending in 90 00. Throws NdefError naming the step,
// the status word and its meaning otherwise.
Bytes ResponseData(std::span<const std::uint8_t> response, std::string_view step);

struct CapabilityContainer {
    std::size_t length;        // CCLEN
    std::uint8_t version;      // mapping version, 0x20 for 2.0
    std::size_t maxResponse;   // MLe: the most data an answer carries
    std::size_t maxCommand;    // MLc: the most data a command carries
    std::uint16_t fileId;      // of the NDEF file
    std::size_t maxFileSize;   // of the NDEF file, NLEN included
    std::uint8_t readAccess;   // 00: free
    std::uint8_t writeAccess;  // 00: free, FF: never
    bool Readable() const { return readAccess == 0x00; }
    bool Writable() const { return writeAccess == 0x00; }
    std::size_t Capacity() const { return maxFileSize - 2; }
};

// The first 15 bytes of the capability container file (more are ignored).
// Throws NdefError for a file too short, a mapping version other than 2.x,
// or values the mapping does not allow.
CapabilityContainer ParseCapabilityContainer(std::span<const std::uint8_t> file);

// The steps both flows begin with: select the application, select and read
// the capability container (which the flow then checks for what it is about
// to do), select the NDEF file.
class Opening {
public:
    // The command of the step at hand; empty once the NDEF file is selected.
    std::optional<Bytes> Next() const;
    // The answer to it; checkCc(cc) runs once the capability container is
    // read, before the NDEF file is selected, and may throw.
    template <typename CheckCc>
    void Answer(std::span<const std::uint8_t> response, CheckCc&& checkCc) {
        if (Take(response)) checkCc(*cc_);
    }
    bool Done() const { return step_ == Step::kDone; }
    const std::optional<CapabilityContainer>& Cc() const { return cc_; }

private:
    enum class Step { kSelectApplication, kSelectCc, kReadCc, kSelectNdef, kDone };
    // True when the answer was the capability container's.
    bool Take(std::span<const std::uint8_t> response);
    Step step_ = Step::kSelectApplication;
    std::optional<CapabilityContainer> cc_;
};

// Reading the message: select the application, select and read the
// capability container, select the NDEF file, read NLEN with the first bytes
// of the message, then the rest in answers of at most MLe bytes.
class ReadFlow {
public:
    // The next command, or empty when the message has been read.
    std::optional<Bytes> Next() const;
    // The card's answer to the last command. Throws NdefError for an answer
    // that ends the flow (an error status word, a broken capability
    // container, denied read access, an NLEN larger than the file).
    void Answer(std::span<const std::uint8_t> response);
    const Bytes& Message() const { return message_; }
    const std::optional<CapabilityContainer>& Cc() const { return opening_.Cc(); }

private:
    std::size_t NextReadLength() const;
    Opening opening_;
    bool done_ = false;
    std::optional<std::size_t> nlen_;
    Bytes message_;
};

// Writing a message: the same selections, then (when NLEN and the message do
// not fit one command of MLc bytes) NLEN set to 0, the message in commands
// of at most MLc bytes, and NLEN last, so that a write torn halfway leaves
// an empty message. Refuses before writing anything a read-only NDEF file or
// a message larger than the file.
class WriteFlow {
public:
    explicit WriteFlow(Bytes message) : message_(std::move(message)) {}
    std::optional<Bytes> Next() const;
    void Answer(std::span<const std::uint8_t> response);
    const std::optional<CapabilityContainer>& Cc() const { return opening_.Cc(); }

private:
    // Checks the message against the file and plans the update commands.
    void Plan(const CapabilityContainer& cc);
    Opening opening_;
    std::vector<Bytes> updates_;
    std::size_t nextUpdate_ = 0;
    Bytes message_;
};

}  // namespace zelvorn::ndef::type4
