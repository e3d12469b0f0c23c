#include "tool/ndef/message.h"

#include <cstddef>
#include <string>

namespace zelvorn::ndef {

namespace {

constexpr std::uint8_t kMb = 0x80;
constexpr std::uint8_t kMe = 0x40;
constexpr std::uint8_t kCf = 0x20;
constexpr std::uint8_t kSr = 0x10;
constexpr std::uint8_t kIl = 0x08;
constexpr std::uint8_t kTnfMask = 0x07;

// What a TNF allows, checked the same way when reading and writing: an
// empty record has no fields at all, an unknown one no type, the four kinds
// of type name need one.
const char* FieldProblem(Tnf tnf, std::size_t typeLength, std::size_t idLength,
                         std::uint64_t payloadLength) {
    switch (tnf) {
        case Tnf::kEmpty:
            if (typeLength != 0 || idLength != 0 || payloadLength != 0) {
                return "empty record (TNF 0) with a type, ID or payload";
            }
            return nullptr;
        case Tnf::kUnknown:
            return typeLength != 0 ? "unknown record (TNF 5) with a type" : nullptr;
        case Tnf::kWellKnown:
        case Tnf::kMime:
        case Tnf::kAbsoluteUri:
        case Tnf::kExternal:
            return typeLength == 0 ? "record without a type (TNF 1 to 4 need one)" : nullptr;
        case Tnf::kUnchanged:
            return "TNF 6 (unchanged) outside a chunked record";
        case Tnf::kReserved:
            break;
    }
    return "TNF 7 is reserved";
}

bool PrintableAscii(std::span<const std::uint8_t> bytes) {
    for (std::uint8_t b : bytes) {
        if (b < 0x20 || b > 0x7E) return false;
    }
    return true;
}

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    [[noreturn]] void Fail(const std::string& problem) const {
        throw NdefError("record " + std::to_string(index_) + " at byte " + std::to_string(start_) +
                        ": " + problem);
    }

    std::vector<Record> Run() {
        std::vector<Record> records;
        Record pending;  // a chunked record being joined
        bool inChunk = false;
        bool ended = false;
        while (pos_ < bytes_.size()) {
            start_ = pos_;
            const std::uint8_t flags = bytes_[pos_];
            const bool sr = (flags & kSr) != 0, il = (flags & kIl) != 0;
            const std::size_t headerLength = 2 + (sr ? 1 : 4) + (il ? 1 : 0);
            if (bytes_.size() - pos_ < headerLength)
                Fail("the input ends inside the record header");
            const std::size_t typeLength = bytes_[pos_ + 1];
            std::uint64_t payloadLength = 0;
            if (sr) {
                payloadLength = bytes_[pos_ + 2];
            } else {
                for (int i = 0; i < 4; ++i)
                    payloadLength = payloadLength << 8 | bytes_[pos_ + 2 + i];
            }
            const std::size_t idLength = il ? bytes_[pos_ + headerLength - 1] : 0;
            pos_ += headerLength;
            const bool mb = (flags & kMb) != 0, me = (flags & kMe) != 0, cf = (flags & kCf) != 0;
            if (index_ == 0 && !mb) Fail("the first record lacks the message begin flag (MB)");
            if (index_ > 0 && mb) Fail("message begin flag (MB) on a record other than the first");
            const Tnf tnf = static_cast<Tnf>(flags & kTnfMask);
            if (inChunk) {
                if (tnf != Tnf::kUnchanged)
                    Fail("a chunk continuation must have TNF 6 (unchanged)");
                if (typeLength != 0 || idLength != 0)
                    Fail("a chunk continuation carries a type or ID");
            } else if (const char* problem =
                           FieldProblem(tnf, typeLength, idLength, payloadLength)) {
                Fail(problem);
            }
            const std::size_t left = bytes_.size() - pos_;
            if (typeLength + idLength > left || payloadLength > left - typeLength - idLength) {
                Fail("the input ends inside the record's type, ID or payload");
            }
            const auto field = [&](std::size_t length) {
                std::span<const std::uint8_t> out = bytes_.subspan(pos_, length);
                pos_ += length;
                return out;
            };
            const auto type = field(typeLength);
            const auto id = field(idLength);
            const auto payload = field(static_cast<std::size_t>(payloadLength));
            if (inChunk) {
                pending.payload.insert(pending.payload.end(), payload.begin(), payload.end());
                if (!cf) {
                    records.push_back(std::move(pending));
                    pending = Record{};
                    inChunk = false;
                }
            } else {
                if (!PrintableAscii(type)) Fail("the record type is not printable ASCII");
                Record record{tnf, Bytes(type.begin(), type.end()), Bytes(id.begin(), id.end()),
                              Bytes(payload.begin(), payload.end())};
                if (cf) {
                    if (tnf == Tnf::kEmpty) Fail("an empty record (TNF 0) cannot be chunked");
                    pending = std::move(record);
                    inChunk = true;
                } else {
                    records.push_back(std::move(record));
                }
            }
            ++index_;
            if (me) {
                if (cf) Fail("message end flag (ME) on a chunk that is not the last");
                if (pos_ != bytes_.size())
                    Fail("bytes follow the record with the message end flag (ME)");
                ended = true;
            }
        }
        if (!bytes_.empty() && !ended) {
            throw NdefError("the message ends without a record carrying the message end flag (ME)");
        }
        return records;
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
    std::size_t start_ = 0;
    std::size_t index_ = 0;
};

}  // namespace

std::string HexByte(unsigned value) {
    static const char kDigits[] = "0123456789ABCDEF";
    return std::string("0x") + kDigits[(value >> 4) & 0xF] + kDigits[value & 0xF];
}

std::vector<Record> DecodeMessage(std::span<const std::uint8_t> bytes) {
    return Reader(bytes).Run();
}

Bytes EncodeMessage(std::span<const Record> records) {
    Bytes out;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const Record& r = records[i];
        const auto fail = [&](const std::string& problem) {
            throw NdefError("record " + std::to_string(i) + " cannot be written: " + problem);
        };
        if (const char* problem =
                FieldProblem(r.tnf, r.type.size(), r.id.size(), r.payload.size())) {
            fail(problem);
        }
        if (r.type.size() > 255) fail("a type is at most 255 bytes");
        if (r.id.size() > 255) fail("an ID is at most 255 bytes");
        if (r.payload.size() > 0xFFFFFFFFu) fail("a payload is at most 4294967295 bytes");
        if (!PrintableAscii(r.type)) fail("the record type is not printable ASCII");
        const bool sr = r.payload.size() < 256;
        std::uint8_t flags = static_cast<std::uint8_t>(r.tnf);
        if (i == 0) flags |= kMb;
        if (i + 1 == records.size()) flags |= kMe;
        if (sr) flags |= kSr;
        if (!r.id.empty()) flags |= kIl;
        out.push_back(flags);
        out.push_back(static_cast<std::uint8_t>(r.type.size()));
        const auto length = static_cast<std::uint32_t>(r.payload.size());
        if (sr) {
            out.push_back(static_cast<std::uint8_t>(length));
        } else {
            for (int shift = 24; shift >= 0; shift -= 8) {
                out.push_back(static_cast<std::uint8_t>(length >> shift));
            }
        }
        if (!r.id.empty()) out.push_back(static_cast<std::uint8_t>(r.id.size()));
        out.insert(out.end(), r.type.begin(), r.type.end());
        out.insert(out.end(), r.id.begin(), r.id.end());
        out.insert(out.end(), r.payload.begin(), r.payload.end());
    }
    return out;
}

}  // namespace zelvorn::ndef
