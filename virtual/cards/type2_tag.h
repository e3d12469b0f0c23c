// A MIFARE Ultralight, Ultralight EV1 or NTAG21x tag (NFC Forum Type 2): a
// memory of 4-byte pages with the serial number and its check bytes in
// pages 0..2, a one-time-programmable page 3, static and dynamic lock bits
// that lock pages for good, and on the EV1 and NTAG21x the configuration
// pages (AUTH0, ACCESS, PWD, PACK) that put pages from AUTH0 on behind a
// password.
//
// The tag's own commands arrive as raw telegrams (with the CRC bit of the
// option byte) and are answered as the tag answers: data, or the 4-bit
// ACK/NAK as one byte (0x0A ACK, 0x00..0x05 NAK). A NAK, or a command the
// tag does not know, sends it back to idle: it stays silent until the
// reader selects it again. The reader's MIFARE read and write commands
// reach it too: the read returns four pages, the write is the
// compatibility write (the first 4 of the 16 bytes into the page).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "mifare/type2.h"
#include "virtual/card.h"

namespace zelvorn::virt {

class Type2Tag : public Card {
public:
    using Page = std::array<std::uint8_t, type2::kPageSize>;

    // A tag as it leaves the factory; the serial number has 7 bytes.
    Type2Tag(const type2::Product& product, Bytes serial);

    const CardKind& Kind() const override;
    AirInterface Air() const override { return AirInterface::TypeA; }
    std::uint8_t TypeByte() const override { return type2::kSak; }
    const Bytes& Serial() const override { return serial_; }
    void PowerUp() override;
    void Activate() override;

    StatusWord ReadBlock(std::uint8_t page, std::uint8_t* out16) override;
    StatusWord WriteBlock(std::uint8_t page, const std::uint8_t* in16,
                          std::uint8_t* echo16) override;
    bool Transceive(std::uint8_t option, const std::uint8_t* in, std::size_t length,
                    Bytes& answer) override;

    const type2::Product& Product() const { return product_; }
    std::size_t PageCount() const { return pages_.size(); }
    // Direct access for scenarios, state files and tests, past every lock.
    const Page& PageAt(std::size_t page) const { return pages_.at(page); }
    void SetPage(std::size_t page, const Page& data) { pages_.at(page) = data; }
    std::uint32_t Counter(std::size_t number) const { return counters_.at(number); }
    void SetCounter(std::size_t number, std::uint32_t value) {
        counters_.at(number) = value & 0xFFFFFF;
    }
    const std::array<std::uint8_t, type2::kSignatureSize>& Signature() const { return signature_; }
    void SetSignature(const std::array<std::uint8_t, type2::kSignatureSize>& s) { signature_ = s; }
    std::uint8_t FailedAuthentications() const { return failedAuths_; }
    void SetFailedAuthentications(std::uint8_t n) { failedAuths_ = n; }
    bool Authenticated() const { return authenticated_; }

private:
    enum class State : std::uint8_t { Idle, Active, Halted };

    // Each answers the tag's reply; false for a NAK (code in nak) where the
    // tag then falls back to idle.
    bool Read(std::size_t page, Bytes& answer, std::uint8_t& nak);
    bool FastRead(std::size_t first, std::size_t last, Bytes& answer, std::uint8_t& nak);
    bool WritePage(std::size_t page, const std::uint8_t* data, std::uint8_t& nak);
    bool PasswordAuth(const std::uint8_t* password, Bytes& answer, std::uint8_t& nak);
    bool ReadCounter(std::uint8_t number, Bytes& answer, std::uint8_t& nak);
    bool IncrementCounter(std::uint8_t number, const std::uint8_t* amount, std::uint8_t& nak);

    bool HasConfig() const { return product_.configPage != 0; }
    std::size_t Auth0() const;
    std::uint8_t Access() const;
    bool ReadProtected(std::size_t page) const;
    bool WriteProtected(std::size_t page) const;
    bool Locked(std::size_t page) const;
    Page AsRead(std::size_t page) const;
    void CountFirstRead();

    const type2::Product& product_;
    Bytes serial_;
    std::vector<Page> pages_;
    std::array<std::uint32_t, type2::kEv1Counters> counters_{};
    std::array<std::uint8_t, type2::kSignatureSize> signature_{};
    std::uint8_t failedAuths_ = 0;

    State state_ = State::Idle;
    bool authenticated_ = false;
    bool readSinceField_ = false;
    // A compatibility write waits for its 16 data bytes.
    bool compatibilityArmed_ = false;
    std::size_t compatibilityPage_ = 0;
};

// The kinds "ultralight", "ultralight-ev1-48", "ultralight-ev1-128",
// "ntag213", "ntag215" and "ntag216".
extern const CardKind kUltralight;
extern const CardKind kUltralightEv1_48;
extern const CardKind kUltralightEv1_128;
extern const CardKind kNtag213;
extern const CardKind kNtag215;
extern const CardKind kNtag216;

}  // namespace zelvorn::virt
