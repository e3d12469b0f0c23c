#include "tool/ndef/tlv.h"

#include <algorithm>
#include <string>

namespace zelvorn::ndef {

namespace {

// Reserved areas kept sorted and merged, so that finding the next usable
// address is a binary search however many control TLVs a tag claims.
class Reserved {
public:
    explicit Reserved(std::span<const Area> areas = {}) {
        for (const Area& a : areas) Add(a);
    }

    void Add(Area area) {
        if (area.begin >= area.end) return;
        auto it = std::lower_bound(areas_.begin(), areas_.end(), area,
                                   [](const Area& x, const Area& y) { return x.begin < y.begin; });
        it = areas_.insert(it, area);
        // Merge with the neighbours that touch or overlap.
        if (it != areas_.begin() && std::prev(it)->end >= it->begin) {
            --it;
            it->end = std::max(it->end, std::next(it)->end);
            areas_.erase(std::next(it));
        }
        while (std::next(it) != areas_.end() && std::next(it)->begin <= it->end) {
            it->end = std::max(it->end, std::next(it)->end);
            areas_.erase(std::next(it));
        }
    }

    // The first address at or after a that no area covers.
    std::size_t Usable(std::size_t a) const {
        auto it = std::upper_bound(areas_.begin(), areas_.end(), a,
                                   [](std::size_t x, const Area& y) { return x < y.begin; });
        if (it != areas_.begin() && std::prev(it)->end > a) return std::prev(it)->end;
        return a;
    }

    const std::vector<Area>& Areas() const { return areas_; }

private:
    std::vector<Area> areas_;
};

std::string At(std::size_t address) {
    return "the TLV at byte " + std::to_string(address);
}

class Scanner {
public:
    Scanner(std::span<const std::uint8_t> image, std::size_t end, bool controlTlvs)
        : image_(image), end_(end), controlTlvs_(controlTlvs) {}

    TlvScan Run(std::size_t begin) {
        std::size_t a = reserved_.Usable(begin);
        std::size_t lastEnd = a;
        for (;;) {
            a = reserved_.Usable(a);
            if (a >= end_) return Finish(TlvScan::Status::kNoNdef, lastEnd);
            if (a >= image_.size()) return NeedMore(a + 1);
            const std::uint8_t type = image_[a];
            if (type == kTlvNull) {
                ++a;
                continue;
            }
            if (type == kTlvTerminator) return Finish(TlvScan::Status::kNoNdef, lastEnd);
            start_ = a;
            // The length: one byte, or FF and two more.
            std::size_t length = 0;
            std::size_t lengthBytes = 1;
            for (std::size_t i = 0; i < lengthBytes; ++i) {
                a = Next(a, "its length");
                if (a >= image_.size()) return NeedMore(a + 1);
                if (i == 0 && image_[a] == 0xFF) {
                    lengthBytes = 3;
                    continue;
                }
                length = length << 8 | image_[a];
            }
            // A control TLV of another length than 3 says nothing usable: it is
            // skipped like any other, as nfcpy does.
            const bool control = controlTlvs_ && IsControl(type) && length == 3;
            // The value's addresses depend on the reserved areas only.
            std::vector<std::size_t> value;
            for (std::size_t i = 0; i < length; ++i) {
                a = Next(a, "its value of " + std::to_string(length) + " bytes");
                if (type == kTlvNdef || control) value.push_back(a);
            }
            if (!value.empty() && value.back() >= image_.size()) return NeedMore(value.back() + 1);
            if (type == kTlvNdef) {
                TlvScan out = Finish(TlvScan::Status::kMessage, start_);
                for (std::size_t v : value) out.message.push_back(image_[v]);
                return out;
            }
            if (control) Control(type, value);
            ++a;
            lastEnd = a;
        }
    }

private:
    static bool IsControl(std::uint8_t type) {
        return type == kTlvLockControl || type == kTlvMemoryControl;
    }

    // The next usable address after a, which must still lie in the area.
    std::size_t Next(std::size_t a, const std::string& what) const {
        const std::size_t next = reserved_.Usable(a + 1);
        if (next >= end_) {
            throw NdefError(At(start_) + " (type " + HexByte(image_[start_]) + "): " + what +
                            " runs past the end of the data area at byte " + std::to_string(end_));
        }
        return next;
    }

    void Control(std::uint8_t type, const std::vector<std::size_t>& value) {
        const std::uint8_t position = image_[value[0]], size = image_[value[1]],
                           sizes = image_[value[2]];
        // The page address in the high nibble, the byte offset in the low one;
        // the page size is 2 to the power of the low nibble of the third byte.
        const std::size_t address =
            (position >> 4) * (std::size_t{1} << (sizes & 0x0F)) + (position & 0x0F);
        const std::size_t count = size == 0 ? 256 : size;
        if (type == kTlvLockControl) {
            // The size counts lock bits; each locks 2^(high nibble) bytes.
            locks_.push_back({address, count, std::size_t{1} << (sizes >> 4)});
            reserved_.Add({address, address + (count + 7) / 8});
        } else {
            reserved_.Add({address, address + count});
        }
    }

    TlvScan Finish(TlvScan::Status status, std::size_t ndefAt) const {
        TlvScan out;
        out.status = status;
        out.ndefAt = ndefAt;
        out.reserved = reserved_.Areas();
        out.locks = locks_;
        return out;
    }

    TlvScan NeedMore(std::size_t bytes) const {
        TlvScan out = Finish(TlvScan::Status::kNeedMore, 0);
        out.needBytes = bytes;
        return out;
    }

    std::span<const std::uint8_t> image_;
    std::size_t end_;
    bool controlTlvs_;
    std::size_t start_ = 0;
    Reserved reserved_;
    std::vector<LockControl> locks_;
};

}  // namespace

TlvScan ScanTlvArea(std::span<const std::uint8_t> image, std::size_t begin, std::size_t end,
                    bool controlTlvs) {
    return Scanner(image, end, controlTlvs).Run(begin);
}

std::vector<std::size_t> UsableAddresses(std::size_t from, std::size_t end,
                                         std::span<const Area> reserved) {
    const Reserved areas(reserved);
    std::vector<std::size_t> out;
    for (std::size_t a = areas.Usable(from); a < end; a = areas.Usable(a + 1)) out.push_back(a);
    return out;
}

std::size_t TlvCapacity(std::size_t usableBytes) {
    // A length below 255 takes one byte, a longer one three.
    std::size_t best = 0;
    if (usableBytes >= 2) best = std::min<std::size_t>(usableBytes - 2, 254);
    if (usableBytes >= 4 + 255) best = std::min(usableBytes - 4, kTlvMaxLength);
    return best;
}

TlvPlacement PlaceNdefTlv(std::span<const std::uint8_t> message,
                          std::span<const std::size_t> usable) {
    const std::size_t capacity = TlvCapacity(usable.size());
    if (usable.size() < 2 || message.size() > capacity) {
        throw NdefError("the message is " + std::to_string(message.size()) +
                        " bytes; the NDEF area holds at most " + std::to_string(capacity));
    }
    Bytes tlv{kTlvNdef};
    if (message.size() < 255) {
        tlv.push_back(static_cast<std::uint8_t>(message.size()));
    } else {
        tlv.push_back(0xFF);
        tlv.push_back(static_cast<std::uint8_t>(message.size() >> 8));
        tlv.push_back(static_cast<std::uint8_t>(message.size()));
    }
    TlvPlacement out;
    for (std::size_t i = 1; i < tlv.size(); ++i) out.lengthAddresses.push_back(usable[i]);
    tlv.insert(tlv.end(), message.begin(), message.end());
    if (tlv.size() < usable.size()) tlv.push_back(kTlvTerminator);
    for (std::size_t i = 0; i < tlv.size(); ++i) out.bytes.emplace_back(usable[i], tlv[i]);
    return out;
}

}  // namespace zelvorn::ndef
