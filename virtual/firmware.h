// The reader's firmware: takes one command frame, carries the command out on
// the reader and the cards in its field, and answers with one reply packet.
//
// It owns what lives in the reader: the RF field, the choice of the selected
// card, the key store, the RC500 register file, the EEPROM and the user port.
// The cards are objects of their own behind the Card interface.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "commands/protocol_table.h"
#include "transport/transport.h"
#include "virtual/card.h"

namespace zelvorn::virt {

constexpr std::size_t kStoredKeys = 16;
constexpr std::size_t kRegisterCount = 64;
// The register that drives the antenna: bits 0 and 1 switch the field.
constexpr std::uint8_t kRegTxControl = 0x11;

struct FirmwareReply {
    StatusWord transport = kTransportOk;
    Bytes payload;  // the reply payload: command, reader status (2), 00, P, data
};

class Firmware {
public:
    Firmware();

    // One command frame as it arrived on the control pipe.
    FirmwareReply HandleFrame(const std::uint8_t* frame, std::size_t length);

    // The state after the reader is plugged in: field on, no card selected,
    // registers and user port at their defaults. The EEPROM and the key store
    // keep their contents.
    void PowerOn();

    // Cards in the field, in the order anticollision finds them.
    Card& AddCard(std::unique_ptr<Card> card);
    bool RemoveCard(const Card& card);
    // Takes a card out of the field and hands it over, its memory intact, so
    // that it can be put back later; null when it is not in the field.
    std::unique_ptr<Card> TakeCard(const Card& card);
    void RemoveAllCards();
    std::size_t CardCount() const { return cards_.size(); }
    Card& CardAt(std::size_t index) { return *cards_.at(index); }

    bool FieldOn() const { return fieldOn_; }
    // Switches the RF field as commands 0x12 and 0x13 do: every card loses
    // its state and none stays selected.
    void SetField(bool on) { SwitchField(on); }
    const Card* Selected() const { return selected_; }
    std::array<std::uint8_t, 256>& Eeprom() { return eeprom_; }
    std::array<std::uint8_t, kRegisterCount>& Registers() { return registers_; }
    void SetSerialNumber(std::uint32_t serial) { serial_ = serial; }
    void SetUserPortInputs(std::uint8_t inputs) { inputs_ = inputs & ~kUserPortOutputs; }
    // Keys held by the reader: stored key numbers 0..15, and the reader's own
    // keys A, B and F under the numbers 0xAA, 0xBB and 0xFF.
    bool SetKey(std::uint8_t keyNumber, const std::uint8_t* key6);
    // The key under such a number, or null for another number.
    const std::uint8_t* KeyAt(std::uint8_t keyNumber) { return KeySlot(keyNumber); }

private:
    StatusWord Execute(std::uint8_t command, const std::uint8_t* data, std::uint8_t n, Bytes& out);
    StatusWord DirectReceive(std::uint8_t n, Bytes& out);
    StatusWord CardCommand(std::uint8_t command, const std::uint8_t* data, std::uint8_t n,
                           Bytes& out);
    StatusWord SelectOne(Bytes& out);
    StatusWord ListCards(Bytes& out);
    StatusWord SelectBySerial(const std::uint8_t* data, std::uint8_t n, Bytes& out);
    StatusWord Login(const std::uint8_t* data, std::uint8_t n);
    StatusWord Telegram(const std::uint8_t* data, std::uint8_t n, Bytes& out);
    StatusWord Status(Bytes& out) const;
    void Select(Card* card, Bytes& out);
    void SwitchField(bool on);
    Card* FirstOf(AirInterface air);
    std::uint8_t* KeySlot(std::uint8_t keyNumber);
    std::size_t CountOf(AirInterface air) const;

    std::vector<std::unique_ptr<Card>> cards_;
    Card* selected_ = nullptr;
    bool fieldOn_ = true;
    std::uint32_t serial_ = 0x5A4C0001;
    std::array<std::uint8_t, 256> eeprom_{};
    std::array<std::uint8_t, kRegisterCount> registers_{};
    std::uint8_t inputs_ = 0;
    std::uint8_t outputs_ = 0;
    std::array<std::array<std::uint8_t, 6>, kStoredKeys> storedKeys_{};
    std::array<std::uint8_t, 6> readerKeyA_{}, readerKeyB_{}, readerKeyF_{};
    std::uint16_t commandsDone_ = 0;
    Bytes receiveBuffer_;  // the card's last answer, for the direct receive request
};

}  // namespace zelvorn::virt
