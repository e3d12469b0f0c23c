// One reader as pcscd sees it: one slot, the card the reader selects in it,
// and everything the driver keeps for that reader: the library handle, an
// ISO/IEC 14443-4 engine of its own (so that two readers never share block
// numbers), the volatile MIFARE keys and the authentication in force.
//
// Not thread-safe: the driver serialises every call (see ifd_handler.cpp).
#pragma once

#include "pcsc/ifd.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "commands/door.h"
#include "iso14443/iso_dep.h"
#include "pcsc/atr.h"
#include "pcsc/pseudo_apdu.h"
#include "platform/platform.h"

namespace zelvorn::pcsc {

// Type2: MIFARE Ultralight, Ultralight EV1, NTAG21x (4-byte pages).
enum class CardKind : std::uint8_t { None, MifareClassic, IsoDepA, TypeB, Type2, OtherA };

struct CardInfo {
    CardKind kind = CardKind::None;
    std::uint8_t sak = 0;
    std::uint8_t uidLength = 0;
    std::uint8_t uid[10] = {};   // the serial number; a type B card's PUPI
    std::uint16_t blocks = 0;    // MIFARE Classic: blocks on the card
    std::uint8_t atqb[12] = {};  // type B: the whole ATQB
    std::uint8_t historical[kMaxHistorical] = {};
    std::size_t historicalCount = 0;
    std::uint8_t atr[kMaxAtr] = {};
    std::size_t atrLength = 0;
};

// Key numbers of the pseudo-APDUs: 00..0F are volatile keys the driver holds
// for the reader, 20..2F the reader's own key store (numbers 0..15).
constexpr std::uint8_t kVolatileKeys = 16;
constexpr std::uint8_t kStoredKeyBase = 0x20;
constexpr std::uint8_t kStoredKeys = 16;

// Vendor control codes (SCardControl). Choose: input a type A card's serial
// number (4, 7 or 10 bytes) to have that card in the slot from the next
// power-up or reset on, or nothing to go back to the reader's own choice;
// no output. List: no input; output one entry per type A card in the field,
// its type byte (SAK), the serial number's length and the serial number.
constexpr DWORD kControlChooseCard = SCARD_CTL_CODE(3600);
constexpr DWORD kControlListCards = SCARD_CTL_CODE(3601);

class Reader {
public:
    // Opens the device at path into the library's first free slot; the
    // reader's handle is that slot's.
    RESPONSECODE Open(const PathChar* path);
    void Close();
    bool IsOpen() const { return handle_ >= 0; }
    // pcscd saw the device leave: nothing is sent to it any more.
    void MarkRemoved() { removed_ = true; }
    // How long a card whose session broke shows as gone, whatever the
    // field holds: longer than pcscd's poll interval (400 ms), so that its
    // polling sees the removal even when other calls ask first.
    static constexpr std::chrono::milliseconds kRemovalHold{1000};
    void SetRemovalHold(std::chrono::milliseconds hold) { removalHold_ = hold; }

    RESPONSECODE Presence();
    RESPONSECODE PowerUp(std::uint8_t* atr, DWORD* atrLength);
    void PowerDown();
    RESPONSECODE Transmit(const std::uint8_t* command, std::size_t length, std::uint8_t* response,
                          std::size_t* responseLength);

    RESPONSECODE ChooseCard(const std::uint8_t* serial, std::size_t length);
    // Writes the list into out (capacity bytes). Refused while a processor
    // card is in a session, which the anticollision would end.
    RESPONSECODE ListCards(std::uint8_t* out, std::size_t capacity, std::size_t* written);

    const CardInfo& Card() const { return card_; }
    bool Powered() const { return powered_; }
    std::int16_t Handle() const { return handle_; }
    // The library slot the reader holds from Open to Close.
    std::int16_t Slot() const { return slot_; }

private:
    // Detection and presence (presence.cpp).
    bool Detect(CardInfo& card);
    static void ClassifyTypeA(CardInfo& card, const door::CardEntry& entry);
    bool SameCard(const CardInfo& a, const CardInfo& b) const;
    bool ProbeSession();
    // Selects the slot's card again by its serial number and repeats the
    // login in force; false when the card does not answer.
    bool Reselect();
    // Opens the device of this reader again, in the same slot of the
    // library; false when it is not there.
    bool Reopen();
    RESPONSECODE CardLost();

    // The ISO/IEC 14443-4 session with a processor card (iso_dep_session.cpp).
    bool StartIsoDep();
    RESPONSECODE ExchangeApdu(const std::uint8_t* command, std::size_t length,
                              std::uint8_t* response, std::size_t* responseLength);
    void EndIsoDep();

    // The pseudo-APDUs (pseudo_apdu.cpp): each handler appends its data to
    // the reply and answers with its status word.
    using Handler = std::uint16_t (Reader::*)(const Apdu&, Reply&);
    struct PseudoApduRow {
        std::uint8_t ins;
        const char* name;
        Handler handle;
    };
    static const PseudoApduRow kPseudoApdus[];
    std::uint16_t PseudoApdu(const std::uint8_t* command, std::size_t length, Reply& reply);
    std::uint16_t GetData(const Apdu& apdu, Reply& reply);
    std::uint16_t LoadKey(const Apdu& apdu, Reply& reply);
    std::uint16_t GeneralAuthenticate(const Apdu& apdu, Reply& reply);
    std::uint16_t Authenticate(std::uint8_t msb, std::uint8_t block, std::uint8_t keyType,
                               std::uint8_t keyNumber);
    std::uint16_t ReadBinary(const Apdu& apdu, Reply& reply);
    std::uint16_t UpdateBinary(const Apdu& apdu, Reply& reply);
    std::uint16_t ReadPages(const Apdu& apdu, Reply& reply);
    std::uint16_t UpdatePages(const Apdu& apdu, Reply& reply);
    std::uint16_t PageRefused(const CommandResult& outcome, bool write);
    std::uint16_t ValueOperations(const Apdu& apdu, Reply& reply);
    CommandResult Login(std::uint8_t sector, bool keyB, std::uint8_t keyNumber);
    // Status word for what came of a card command. A card found gone sets
    // cardGone_, which the caller answers as "no card".
    std::uint16_t StatusFor(const CommandResult& outcome, bool write);

    // Every block of the ISO/IEC 14443-4 session goes with this option flag
    // (option byte 0x0F), as RATS does.
    static constexpr std::int32_t kIsoDepOption = 1;
    // The engine counts in signed 16-bit numbers: 32767 bytes each way.
    static constexpr std::size_t kMostApdu = 32767;

    // The library slot this reader holds, also while its device is away;
    // the handle is that slot's while the device is open, else -1.
    std::int16_t slot_ = -1;
    std::int16_t handle_ = -1;
    PathChar path_[kDevicePathChars] = {};
    bool removed_ = false;
    IsoDepEngine engine_;
    CardInfo card_;
    bool powered_ = false;
    bool isoDep_ = false;
    bool cardGone_ = false;  // set while answering a command; ends the session
    // A session that broke: presence says "absent" until removalHold_ has
    // passed since lostAt_.
    bool sessionLost_ = false;
    std::chrono::steady_clock::time_point lostAt_{};
    std::chrono::milliseconds removalHold_ = kRemovalHold;

    // A card chosen by serial number; length 0 for the reader's own choice.
    struct Choice {
        std::uint8_t length = 0;
        std::uint8_t serial[10] = {};
    };
    Choice wanted_;  // as the last control call left it
    Choice active_;  // what the slot holds: taken from wanted_ when no session runs

    struct Key {
        bool loaded = false;
        std::array<std::uint8_t, 6> bytes{};
    };
    std::array<Key, kVolatileKeys> keys_{};
    struct Authentication {
        bool valid = false;
        std::uint8_t sector = 0;
        bool keyB = false;
        std::uint8_t keyNumber = 0;
    } auth_;
};

}  // namespace zelvorn::pcsc
