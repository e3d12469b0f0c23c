#include "tool/ndef/type4.h"

#include "iso14443/card_status_words.h"

#include <algorithm>
#include <string>

namespace zelvorn::ndef::type4 {

namespace {

constexpr std::size_t kCcBytes = 15;
constexpr std::uint8_t kNdefFileControl = 0x04;
constexpr std::size_t kNlenBytes = 2;
constexpr std::size_t kMaxOffset = 0x7FFF;  // a READ/UPDATE BINARY offset has 15 bits

std::uint16_t Be16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]);
}

std::string Hex4(std::uint16_t v) {
    return HexByte(v >> 8).substr(2) + HexByte(v & 0xFF).substr(2);
}

const char* Meaning(std::uint16_t sw) {
    const char* meaning = CardStatus_Meaning(sw);
    return meaning == nullptr ? "an error" : meaning;
}

// The largest data of one answer or command the card and short APDUs allow.
std::size_t Limit(std::size_t cardLimit) {
    return std::min(cardLimit, kMaxShortData);
}

}  // namespace

Bytes SelectApplication() {
    // Header, Lc, the name, Le 00.
    Bytes apdu(5 + kNdefApplication.size() + 1, 0x00);
    apdu[1] = 0xA4, apdu[2] = 0x04;
    apdu[4] = static_cast<std::uint8_t>(kNdefApplication.size());
    std::copy(kNdefApplication.begin(), kNdefApplication.end(), apdu.begin() + 5);
    return apdu;
}

Bytes SelectFile(std::uint16_t fileId) {
    return {0x00,
            0xA4,
            0x00,
            0x0C,
            0x02,
            static_cast<std::uint8_t>(fileId >> 8),
            static_cast<std::uint8_t>(fileId)};
}

Bytes ReadBinary(std::uint16_t offset, std::size_t length) {
    return {0x00, 0xB0, static_cast<std::uint8_t>(offset >> 8), static_cast<std::uint8_t>(offset),
            static_cast<std::uint8_t>(length)};
}

Bytes UpdateBinary(std::uint16_t offset, std::span<const std::uint8_t> data) {
    Bytes apdu(5 + data.size(), 0x00);
    apdu[1] = 0xD6;
    apdu[2] = static_cast<std::uint8_t>(offset >> 8);
    apdu[3] = static_cast<std::uint8_t>(offset);
    apdu[4] = static_cast<std::uint8_t>(data.size());
    std::copy(data.begin(), data.end(), apdu.begin() + 5);
    return apdu;
}

Bytes ResponseData(std::span<const std::uint8_t> response, std::string_view step) {
    if (response.size() < 2) {
        throw NdefError(std::string(step) + ": the card's answer of " +
                        std::to_string(response.size()) + " bytes has no status word");
    }
    const std::uint16_t sw = Be16(response, response.size() - 2);
    if (sw != 0x9000) {
        throw NdefError(std::string(step) + ": the card answered " + Hex4(sw) + " (" + Meaning(sw) +
                        ")");
    }
    return Bytes(response.begin(), response.end() - 2);
}

CapabilityContainer ParseCapabilityContainer(std::span<const std::uint8_t> file) {
    const auto fail = [](const std::string& problem) -> CapabilityContainer {
        throw NdefError("the capability container file " + problem);
    };
    if (file.size() < kCcBytes) {
        return fail("holds " + std::to_string(file.size()) + " bytes; it has at least 15");
    }
    CapabilityContainer cc{Be16(file, 0), file[2],        Be16(file, 3), Be16(file, 5),
                           Be16(file, 9), Be16(file, 11), file[13],      file[14]};
    if (cc.length < kCcBytes)
        return fail("gives its length as " + std::to_string(cc.length) + ", less than 15");
    if ((cc.version >> 4) != 2) {
        return fail("names NDEF mapping version " + std::to_string(cc.version >> 4) + "." +
                    std::to_string(cc.version & 15) + "; only 2.x is handled");
    }
    if (cc.maxResponse < 0x0F)
        return fail("gives MLe " + std::to_string(cc.maxResponse) + ", less than 15");
    if (cc.maxCommand < 0x01) return fail("gives MLc 0");
    if (file[7] != kNdefFileControl || file[8] != 6) {
        return fail("lacks the NDEF file control TLV (04 06), found " + HexByte(file[7]) + " " +
                    HexByte(file[8]));
    }
    switch (cc.fileId) {
        case 0x0000:
        case 0xE102:
        case 0xE103:
        case 0x3F00:
        case 0x3FFF:
        case 0xFFFF:
            return fail("names " + Hex4(cc.fileId) +
                        " as the NDEF file, an ID reserved for others");
        default:
            break;
    }
    if (cc.maxFileSize < 5 || cc.maxFileSize > 0xFFFE) {
        return fail("gives the NDEF file a size of " + std::to_string(cc.maxFileSize) +
                    " bytes, outside 5..65534");
    }
    return cc;
}

// ---- Both flows ----

std::optional<Bytes> Opening::Next() const {
    switch (step_) {
        case Step::kSelectApplication:
            return SelectApplication();
        case Step::kSelectCc:
            return SelectFile(kCapabilityContainerFile);
        case Step::kReadCc:
            return ReadBinary(0, kCcBytes);
        case Step::kSelectNdef:
            return SelectFile(cc_->fileId);
        case Step::kDone:
            break;
    }
    return std::nullopt;
}

bool Opening::Take(std::span<const std::uint8_t> response) {
    switch (step_) {
        case Step::kSelectApplication:
            ResponseData(response, "selecting the NDEF application");
            step_ = Step::kSelectCc;
            return false;
        case Step::kSelectCc:
            ResponseData(response, "selecting the capability container file E103");
            step_ = Step::kReadCc;
            return false;
        case Step::kReadCc:
            cc_ = ParseCapabilityContainer(
                ResponseData(response, "reading the capability container"));
            step_ = Step::kSelectNdef;
            return true;
        case Step::kSelectNdef:
            ResponseData(response, "selecting the NDEF file " + Hex4(cc_->fileId));
            step_ = Step::kDone;
            return false;
        case Step::kDone:
            break;
    }
    throw NdefError("the NDEF file is selected; there is no command to answer");
}

// ---- Reading ----

std::size_t ReadFlow::NextReadLength() const {
    const std::size_t chunk = Limit(Cc()->maxResponse);
    if (!nlen_) return std::min(chunk, Cc()->maxFileSize);
    return std::min(chunk, *nlen_ - message_.size());
}

std::optional<Bytes> ReadFlow::Next() const {
    if (!opening_.Done()) return opening_.Next();
    if (done_) return std::nullopt;
    const std::size_t offset = nlen_ ? kNlenBytes + message_.size() : 0;
    return ReadBinary(static_cast<std::uint16_t>(offset), NextReadLength());
}

void ReadFlow::Answer(std::span<const std::uint8_t> response) {
    if (!opening_.Done()) {
        opening_.Answer(response, [](const CapabilityContainer& cc) {
            if (!cc.Readable()) {
                throw NdefError(
                    "the capability container denies reading the NDEF file (read access " +
                    HexByte(cc.readAccess) + ")");
            }
        });
        return;
    }
    if (done_) throw NdefError("the message has been read; there is no command to answer");
    const std::size_t asked = NextReadLength();
    const Bytes data = ResponseData(response, "reading the NDEF file");
    std::span<const std::uint8_t> rest(data);
    if (!nlen_) {
        if (data.size() < kNlenBytes) {
            throw NdefError("reading the NDEF file: the card answered " +
                            std::to_string(data.size()) + " bytes, NLEN takes 2");
        }
        const std::size_t nlen = Be16(data, 0);
        if (nlen > Cc()->Capacity()) {
            throw NdefError("the NDEF file gives a message length (NLEN) of " +
                            std::to_string(nlen) + " bytes; the file holds at most " +
                            std::to_string(Cc()->Capacity()));
        }
        if (kNlenBytes + nlen > kMaxOffset + 1) {
            throw NdefError("a message of " + std::to_string(nlen) +
                            " bytes reaches past the offsets READ BINARY can name");
        }
        nlen_ = nlen;
        rest = rest.subspan(kNlenBytes);
    } else if (data.empty()) {
        throw NdefError("reading the NDEF file: the card answered no data for " +
                        std::to_string(asked) + " bytes asked");
    }
    const std::size_t take = std::min(rest.size(), *nlen_ - message_.size());
    message_.insert(message_.end(), rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(take));
    if (message_.size() == *nlen_) done_ = true;
}

// ---- Writing ----

std::optional<Bytes> WriteFlow::Next() const {
    if (!opening_.Done()) return opening_.Next();
    if (nextUpdate_ == updates_.size()) return std::nullopt;
    return updates_[nextUpdate_];
}

void WriteFlow::Plan(const CapabilityContainer& cc) {
    if (!cc.Writable()) {
        throw NdefError("the NDEF file is read-only (write access " + HexByte(cc.writeAccess) +
                        "); nothing was written");
    }
    if (message_.size() > cc.Capacity() || kNlenBytes + message_.size() > kMaxOffset + 1) {
        throw NdefError("the message is " + std::to_string(message_.size()) +
                        " bytes; the NDEF file holds at most " +
                        std::to_string(std::min(cc.Capacity(), kMaxOffset + 1 - kNlenBytes)) +
                        "; nothing was written");
    }
    const std::size_t chunk = Limit(cc.maxCommand);
    const std::array<std::uint8_t, 2> nlen = {static_cast<std::uint8_t>(message_.size() >> 8),
                                              static_cast<std::uint8_t>(message_.size())};
    if (kNlenBytes + message_.size() <= chunk) {
        Bytes all(nlen.begin(), nlen.end());
        all.insert(all.end(), message_.begin(), message_.end());
        updates_.push_back(UpdateBinary(0, all));
        return;
    }
    const std::array<std::uint8_t, 2> zero = {0, 0};
    updates_.push_back(UpdateBinary(0, zero));
    for (std::size_t at = 0; at < message_.size(); at += chunk) {
        const std::size_t n = std::min(chunk, message_.size() - at);
        updates_.push_back(UpdateBinary(static_cast<std::uint16_t>(kNlenBytes + at),
                                        std::span(message_).subspan(at, n)));
    }
    updates_.push_back(UpdateBinary(0, nlen));
}

void WriteFlow::Answer(std::span<const std::uint8_t> response) {
    if (!opening_.Done()) {
        opening_.Answer(response, [this](const CapabilityContainer& cc) { Plan(cc); });
        return;
    }
    if (nextUpdate_ == updates_.size()) {
        throw NdefError("the message has been written; there is no command to answer");
    }
    ResponseData(response, "writing the NDEF file");
    ++nextUpdate_;
}

}  // namespace zelvorn::ndef::type4
