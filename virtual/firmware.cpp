#include "virtual/firmware.h"

#include <algorithm>
#include <cstring>

#include "commands/command_path.h"
#include "commands/protocol_table.h"
#include "transport/transport.h"

namespace zelvorn::virt {
namespace {

// Entries that fit the longest reply payload behind the count.
constexpr std::size_t kMaxListed = (kMaxReplyPayload - kCardEntryOffset) / kCardEntrySize;  // 9
// One direct receive hands out at most this much: its reply fits 64 bytes.
constexpr std::size_t kMaxDirectReceive = 59;
constexpr std::uint8_t kStatusBlock[20] = "Zelvorn virtual 1.0";

void PutValue(Bytes& out, std::int32_t value) {
    std::uint8_t bytes[4];
    Put32(bytes, value);
    out.insert(out.end(), bytes, bytes + sizeof bytes);
}

// A card entry as the select and list replies carry it.
void PutEntry(Bytes& out, const Card& card) {
    out.push_back(card.TypeByte());
    out.push_back(static_cast<std::uint8_t>(card.Serial().size()));
    for (std::size_t i = 0; i < kSerialField; ++i) {
        out.push_back(i < card.Serial().size() ? card.Serial()[i] : 0x00);
    }
}

}  // namespace

Firmware::Firmware() {
    for (auto& key : storedKeys_) key.fill(0xFF);
    readerKeyA_.fill(0xFF);
    readerKeyB_.fill(0xFF);
    readerKeyF_.fill(0xFF);
    // The first EEPROM bytes hold the reader's serial number, as shipped.
    eeprom_[0] = 0x5A;
    eeprom_[1] = 0x4C;
    eeprom_[2] = 0x00;
    eeprom_[3] = 0x01;
    PowerOn();
}

void Firmware::PowerOn() {
    registers_.fill(0x00);
    registers_[kRegTxControl] = 0x58;
    outputs_ = 0;
    commandsDone_ = 0;
    receiveBuffer_.clear();
    selected_ = nullptr;
    // Cards see the field drop and return, and start afresh.
    SwitchField(true);
}

void Firmware::SwitchField(bool on) {
    fieldOn_ = on;
    registers_[kRegTxControl] =
        static_cast<std::uint8_t>((registers_[kRegTxControl] & ~0x03) | (on ? 0x03 : 0x00));
    selected_ = nullptr;
    for (auto& card : cards_) card->PowerUp();
}

Card& Firmware::AddCard(std::unique_ptr<Card> card) {
    card->PowerUp();
    cards_.push_back(std::move(card));
    return *cards_.back();
}

bool Firmware::RemoveCard(const Card& card) {
    return TakeCard(card) != nullptr;
}

std::unique_ptr<Card> Firmware::TakeCard(const Card& card) {
    auto it = std::find_if(cards_.begin(), cards_.end(),
                           [&card](const std::unique_ptr<Card>& c) { return c.get() == &card; });
    if (it == cards_.end()) return nullptr;
    if (selected_ == it->get()) selected_ = nullptr;
    std::unique_ptr<Card> taken = std::move(*it);
    cards_.erase(it);
    return taken;
}

void Firmware::RemoveAllCards() {
    selected_ = nullptr;
    cards_.clear();
}

std::uint8_t* Firmware::KeySlot(std::uint8_t keyNumber) {
    if (keyNumber < kStoredKeys) return storedKeys_[keyNumber].data();
    if (keyNumber == kKeySelectorA) return readerKeyA_.data();
    if (keyNumber == kKeySelectorB) return readerKeyB_.data();
    if (keyNumber == kKeySelectorF) return readerKeyF_.data();
    return nullptr;
}

bool Firmware::SetKey(std::uint8_t keyNumber, const std::uint8_t* key6) {
    std::uint8_t* slot = KeySlot(keyNumber);
    if (slot == nullptr) return false;
    std::memcpy(slot, key6, 6);
    return true;
}

Card* Firmware::FirstOf(AirInterface air) {
    for (auto& card : cards_) {
        if (card->Air() == air) return card.get();
    }
    return nullptr;
}

std::size_t Firmware::CountOf(AirInterface air) const {
    return static_cast<std::size_t>(
        std::count_if(cards_.begin(), cards_.end(),
                      [air](const std::unique_ptr<Card>& c) { return c->Air() == air; }));
}

FirmwareReply Firmware::HandleFrame(const std::uint8_t* frame, std::size_t length) {
    FirmwareReply reply;
    // STX, pairs of hexadecimal digits, ETX.
    if (length < 2 || frame[0] != frame::kStx || frame[length - 1] != frame::kEtx ||
        (length - 2) % 2 != 0) {
        reply.transport = kTransportBadFrame;
        return reply;
    }
    std::uint8_t packet[kFrameCapacity];
    const std::size_t count = (length - 2) / 2;
    if (count < request_packet::kOverhead || count > sizeof packet) {
        reply.transport = kTransportBadFrame;
        return reply;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t high = frame[1 + 2 * i], low = frame[2 + 2 * i];
        if (frame::DigitValue(high) < 0 || frame::DigitValue(low) < 0) {
            reply.transport = kTransportBadFrame;
            return reply;
        }
        packet[i] = frame::DecodePair(high, low);
    }
    namespace rq = request_packet;
    const std::uint8_t n = packet[rq::kDataLength];
    if (packet[rq::kStart] != rq::kStartByte || count != n + rq::kOverhead) {
        reply.transport = kTransportBadFrame;
        return reply;
    }
    if (frame::Checksum(packet, rq::kData + n) != packet[rq::kData + n]) {
        reply.transport = kTransportBadChecksum;
        return reply;
    }
    const std::uint8_t frameType = packet[rq::kFrameType], l = packet[rq::kLength],
                       command = packet[rq::kCommand];
    const std::uint8_t* data = packet + rq::kData;
    Bytes out;
    StatusWord status;
    if (frameType == kFrameCommand) {
        status = l != n + 2 ? kStatusMalformed : Execute(command, data, n, out);
    } else if (frameType == kFrameReceive) {
        status = command == kReceiveCommand ? DirectReceive(n, out) : kStatusUnknownCommand;
    } else {
        reply.transport = kTransportUnknownFrameType;
        return reply;
    }
    if (status != kStatusOk) out.clear();
    if (out.size() > kMaxCardAnswer) out.resize(kMaxCardAnswer);
    // The count is of commands carried out (status 0) since the last reset:
    // the reset starts it afresh without counting itself, and the status
    // report, which reads it, leaves it as it was.
    const bool counted = status == kStatusOk && !(frameType == kFrameCommand &&
                                                  (command == kCmdReset || command == kCmdStatus));
    if (counted) ++commandsDone_;
    // Byte 0 echoes the command code and byte 3 is 0; the library reads neither.
    reply.payload = {command, static_cast<std::uint8_t>(status >> 8),
                     static_cast<std::uint8_t>(status), 0x00,
                     static_cast<std::uint8_t>(out.size())};
    reply.payload.insert(reply.payload.end(), out.begin(), out.end());
    return reply;
}

// What the last card answer left in the receive buffer, up to n bytes (all
// of it for n = 0); what is handed out leaves the buffer.
StatusWord Firmware::DirectReceive(std::uint8_t n, Bytes& out) {
    const std::size_t take =
        n == 0 ? receiveBuffer_.size() : std::min<std::size_t>(n, receiveBuffer_.size());
    out.assign(receiveBuffer_.begin(), receiveBuffer_.begin() + static_cast<std::ptrdiff_t>(take));
    receiveBuffer_.erase(receiveBuffer_.begin(),
                         receiveBuffer_.begin() + static_cast<std::ptrdiff_t>(take));
    return kStatusOk;
}

StatusWord Firmware::Execute(std::uint8_t command, const std::uint8_t* data, std::uint8_t n,
                             Bytes& out) {
    const ProtocolRow* row = Protocol_Find(command);
    if (row == nullptr) return kStatusUnknownCommand;
    if (row->requestLength != kVariableLength && row->requestLength != n) return kStatusMalformed;
    if (row->cardCommand) return CardCommand(command, data, n, out);

    switch (command) {
        case kCmdReset:
            PowerOn();
            return kStatusOk;
        case kCmdReadEeprom:
            out.push_back(eeprom_[data[0]]);
            return kStatusOk;
        case kCmdWriteEeprom:
            eeprom_[data[0]] = data[1];
            out.push_back(eeprom_[data[0]]);
            return kStatusOk;
        case kCmdLoadKey: {
            if (!SetKey(data[0], data + 1)) return kStatusOutOfRange;
            out.assign(data + 1, data + 7);
            return kStatusOk;
        }
        case kCmdFieldOff:
        case kCmdFieldOn:
            SwitchField(command == kCmdFieldOn);
            out.push_back(fieldOn_ ? 1 : 0);
            return kStatusOk;
        case kCmdReadUserPort:
            out.push_back(static_cast<std::uint8_t>(inputs_ | outputs_));
            return kStatusOk;
        case kCmdWriteUserPort:
            outputs_ = data[0] & kUserPortOutputs;
            out.push_back(outputs_);
            return kStatusOk;
        case kCmdStatus:
            return Status(out);
        case kCmdReadRegister:
            if (data[0] >= kRegisterCount) return kStatusOutOfRange;
            out.push_back(registers_[data[0]]);
            return kStatusOk;
        case kCmdWriteRegister:
            if (data[0] >= kRegisterCount) return kStatusOutOfRange;
            if (data[0] == kRegTxControl) {
                // The antenna drivers are the field: switching them is switching it.
                const bool on = (data[1] & 0x03) != 0;
                if (on != fieldOn_) SwitchField(on);
            }
            registers_[data[0]] = data[1];
            out.push_back(registers_[data[0]]);
            return kStatusOk;
        default:
            return kStatusUnknownCommand;
    }
}

StatusWord Firmware::Status(Bytes& out) const {
    out.assign(kStatusBlock, kStatusBlock + sizeof kStatusBlock);
    out.push_back(fieldOn_ ? 1 : 0);
    PutValue(out, static_cast<std::int32_t>(serial_));
    out.push_back(static_cast<std::uint8_t>(cards_.size()));
    out.push_back(selected_ != nullptr ? selected_->TypeByte() : 0x00);
    out.push_back(static_cast<std::uint8_t>(inputs_ | outputs_));
    out.push_back(static_cast<std::uint8_t>(commandsDone_ >> 8));
    out.push_back(static_cast<std::uint8_t>(commandsDone_));
    return kStatusOk;
}

StatusWord Firmware::CardCommand(std::uint8_t command, const std::uint8_t* data, std::uint8_t n,
                                 Bytes& out) {
    if (!fieldOn_) return kStatusFieldOff;
    switch (command) {
        case kCmdSelect:
            return SelectOne(out);
        case kCmdListOrSelect:
            return n == 0 ? ListCards(out) : SelectBySerial(data, n, out);
        case kCmdReadAtqb: {
            Card* card = FirstOf(AirInterface::TypeB);
            if (card == nullptr) return kStatusNoCard;
            std::uint8_t atqb[12];
            if (StatusWord s = card->Atqb(atqb)) return s;
            out.assign(atqb, atqb + sizeof atqb);
            return kStatusOk;
        }
        case kCmdAskWrite:
        case kCmdAskWriteOtherMode:
        case kCmdAskRead:
        case kCmdAskMultiRead: {
            Card* ticket = FirstOf(AirInterface::AskTicket);
            if (ticket == nullptr) return kStatusNoCard;
            std::uint8_t bytes[8];
            StatusWord s;
            if (command == kCmdAskRead || command == kCmdAskMultiRead) {
                const std::size_t sectors = command == kCmdAskRead ? 1 : 4;
                s = ticket->AskRead(data[0], bytes, sectors);
                if (s == kStatusOk) out.assign(bytes, bytes + 2 * sectors);
            } else {
                s = ticket->AskWrite(command, data[0], data + 1, bytes);
                if (s == kStatusOk) out.assign(bytes, bytes + 2);
            }
            return s;
        }
        default:
            break;
    }

    // The rest speak to the selected card.
    if (command == kCmdLogin && n != 2 && n != 8) return kStatusMalformed;
    if (command == kCmdTelegram && (n < 2 || data[0] + 2u != n)) return kStatusMalformed;
    if (selected_ == nullptr) return kStatusNotSelected;
    Card& card = *selected_;
    std::int32_t value = 0;
    StatusWord s;
    switch (command) {
        case kCmdLogin:
            return Login(data, n);
        case kCmdReadBlock: {
            std::uint8_t block[16];
            s = card.ReadBlock(data[0], block);
            if (s == kStatusOk) out.assign(block, block + 16);
            return s;
        }
        case kCmdReadValue:
            s = card.ReadValue(data[0], &value);
            break;
        case kCmdWriteBlock: {
            std::uint8_t echo[16];
            s = card.WriteBlock(data[0], data + 1, echo);
            if (s == kStatusOk) out.assign(echo, echo + 16);
            return s;
        }
        case kCmdWriteValue:
            value = Get32(data + 1);
            s = card.WriteValue(data[0], value);
            break;
        case kCmdIncrement:
        case kCmdDecrement:
            s = card.ChangeValue(data[0], Get32(data + 1), command == kCmdDecrement, &value);
            break;
        case kCmdCopyValue:
            s = card.CopyValue(data[0], data[1], &value);
            break;
        case kCmdTelegram:
            return Telegram(data, n, out);
        default:
            return kStatusUnknownCommand;
    }
    if (s == kStatusOk) PutValue(out, value);
    return s;
}

void Firmware::Select(Card* card, Bytes& out) {
    if (selected_ != nullptr && selected_ != card) selected_->PowerUp();
    selected_ = card;
    card->Activate();
    out.push_back(static_cast<std::uint8_t>(CountOf(AirInterface::TypeA)));
    PutEntry(out, *card);
}

StatusWord Firmware::SelectOne(Bytes& out) {
    Card* card = FirstOf(AirInterface::TypeA);
    if (card == nullptr) return kStatusNoCard;
    Select(card, out);
    return kStatusOk;
}

// Anticollision over the whole field: every type A card answers, none stays
// selected.
StatusWord Firmware::ListCards(Bytes& out) {
    if (selected_ != nullptr) selected_->PowerUp();
    selected_ = nullptr;
    out.push_back(0);
    for (auto& card : cards_) {
        if (card->Air() != AirInterface::TypeA || out[0] == kMaxListed) continue;
        PutEntry(out, *card);
        ++out[0];
    }
    return kStatusOk;
}

StatusWord Firmware::SelectBySerial(const std::uint8_t* data, std::uint8_t n, Bytes& out) {
    const std::uint8_t length = data[0];
    if ((length != 4 && length != 7 && length != 10) || n != length + 1u) return kStatusMalformed;
    for (auto& card : cards_) {
        const Bytes& serial = card->Serial();
        if (card->Air() == AirInterface::TypeA && serial.size() == length &&
            std::equal(serial.begin(), serial.end(), data + 1)) {
            Select(card.get(), out);
            return kStatusOk;
        }
    }
    return kStatusNoCard;
}

StatusWord Firmware::Login(const std::uint8_t* data, std::uint8_t n) {
    const std::uint8_t sector = data[0], selector = data[1];
    KeyKind kind = KeyKind::A;
    const std::uint8_t* key = nullptr;
    if (n == 8) {
        if (selector != kKeySelectorA && selector != kKeySelectorB) return kStatusMalformed;
        kind = selector == kKeySelectorA ? KeyKind::A : KeyKind::B;
        key = data + 2;
    } else if (selector == kKeySelectorA || selector == kKeySelectorF) {
        key = KeySlot(selector);
    } else if (selector == kKeySelectorB) {
        kind = KeyKind::B;
        key = readerKeyB_.data();
    } else if (selector >= kKeySelectorStoredA && selector < kKeySelectorStoredA + kStoredKeys) {
        key = storedKeys_[selector - kKeySelectorStoredA].data();
    } else if (selector >= kKeySelectorStoredB && selector < kKeySelectorStoredB + kStoredKeys) {
        kind = KeyKind::B;
        key = storedKeys_[selector - kKeySelectorStoredB].data();
    } else {
        return kStatusOutOfRange;
    }
    const StatusWord s = selected_->Authenticate(sector, kind, key);
    if (s == kStatusAuthFailed) {
        // A card that failed authentication falls back to idle and must be
        // selected again.
        selected_->PowerUp();
        selected_ = nullptr;
    }
    return s;
}

StatusWord Firmware::Telegram(const std::uint8_t* data, std::uint8_t n, Bytes& out) {
    const std::uint8_t option = data[1];
    Bytes answer;
    if (!selected_->Transceive(option, data + 2, n - 2u, answer)) return kStatusNoAnswer;
    if (answer.size() > kMaxCardAnswer) answer.resize(kMaxCardAnswer);
    receiveBuffer_ = answer;
    out = std::move(answer);
    return kStatusOk;
}

}  // namespace zelvorn::virt
