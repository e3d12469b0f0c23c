// Talking to a Type 2 tag (MIFARE Ultralight, Ultralight EV1, NTAG21x) one
// frame at a time: which product it is, its pages with the fewest
// telegrams, page writes, the password, counters and signature.
//
// The tag is reached through one function that sends a frame and hands back
// the answer, so the whole protocol is tested by scripting that function.
// The parsers of what tags answer are pure functions, fuzzed on their own.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "mifare/type2.h"
#include "tool/hex.h"

namespace zelvorn::tool::type2 {

using zelvorn::type2::Product;

// What one frame brought back: the library's result (RESULT_OK, or the
// reader status it passed on, for instance "no answer") and the tag's bytes.
struct Answer {
    std::int16_t result = 0;
    Bytes data;
};
using Exchange = std::function<Answer(std::span<const std::uint8_t> frame)>;

// The 4-bit ACK/NAK as a reader may hand it over: one byte whose low four
// bits are 0xA for ACK (0x0A, or with other high bits), another byte for a
// NAK, or a reader status word instead of a NAK. Anything longer, or an
// empty answer with status 0, is no ACK/NAK at all.
enum class Verdict { Ack, Nak, NoAnswer, Malformed };
Verdict ParseAck(const Answer& answer);

// The product a GET_VERSION answer names; nullopt when the answer is not 8
// bytes. A version the table does not know gives a product named by its
// bytes, with its page count unknown (0).
std::optional<Product> ProductFromVersion(std::span<const std::uint8_t> version);

// The most pages one FAST_READ answer carries through the reader.
std::size_t PagesPerFastRead();

class Tag {
public:
    // reselect selects the tag again after a NAK has sent it back to idle.
    Tag(Exchange exchange, std::function<void()> reselect);

    // GET_VERSION, or for a tag that does not answer it (the first
    // Ultralight), the page count found by reading until the tag NAKs.
    const Product& Identify();
    const Product& Known() const { return product_; }
    const std::optional<std::array<std::uint8_t, 8>>& Version() const { return version_; }

    // count pages from first, with FAST_READ where the tag has it (as many
    // pages a telegram as its answer carries), else READ (four at a time).
    // Throws ToolError naming the page when the tag refuses.
    Bytes Read(std::size_t first, std::size_t count);
    // WRITE of one page; throws unless the tag ACKs.
    void Write(std::size_t page, std::span<const std::uint8_t, 4> data);
    // PWD_AUTH; returns PACK. With expectedPack, a different PACK is an
    // error (the tag is not the one the password was set on). Held until
    // the tag is selected again, and renewed after every reselect.
    std::array<std::uint8_t, 2> Authenticate(
        const std::array<std::uint8_t, 4>& password,
        const std::optional<std::array<std::uint8_t, 2>>& expectedPack = std::nullopt);
    // READ_CNT and READ_SIG; nullopt when the tag refuses or does not know them.
    std::optional<std::uint32_t> ReadCounter(std::uint8_t number);
    std::optional<std::array<std::uint8_t, 32>> ReadSignature();

    std::size_t Telegrams() const { return telegrams_; }

private:
    Answer Send(std::span<const std::uint8_t> frame);
    // After a NAK or silence: select again and renew the password session.
    void Recover();
    bool Readable(std::size_t page);
    std::size_t ProbePages();

    Exchange exchange_;
    std::function<void()> reselect_;
    Product product_{};
    std::optional<std::array<std::uint8_t, 8>> version_;
    std::optional<std::array<std::uint8_t, 4>> password_;
    std::size_t telegrams_ = 0;
};

}  // namespace zelvorn::tool::type2
