#include "virtual/cards/processor_card.h"

#include "virtual/cards/registry.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace zelvorn::virt {
namespace {

// FSCI and FSDI to frame size; values above 8 are reserved and read as 256.
constexpr std::size_t kFrameSizes[9] = {16, 24, 32, 40, 48, 64, 96, 128, 256};
std::size_t FrameSize(unsigned index) {
    return kFrameSizes[index <= 8 ? index : 8];
}

// A telegram carries the frame without its CRC, which the reader adds on the
// way to the card when the option byte asks for it.
constexpr std::uint8_t kOptionTransmitCrc = 0x08;
constexpr std::size_t kCrcBytes = 2;
// The longest command APDU the card gathers (an extended one of 65535 bytes).
constexpr std::size_t kMaxCommandApdu = 65544;

bool IsIBlock(std::uint8_t pcb) {
    return (pcb & 0xE2) == 0x02;
}
bool IsRBlock(std::uint8_t pcb) {
    return (pcb & 0xE6) == 0xA2;
}
bool IsSBlock(std::uint8_t pcb) {
    return (pcb & 0xC7) == 0xC2;
}
constexpr std::uint8_t kPcbChaining = 0x10;
constexpr std::uint8_t kPcbCid = 0x08;
constexpr std::uint8_t kPcbNad = 0x04;
constexpr std::uint8_t kPcbNak = 0x10;

}  // namespace

ProcessorCard::ProcessorCard(Bytes serial, FileSystemApp app, std::uint8_t fsci, Bytes historical)
    : serial_(std::move(serial)),
      app_(std::move(app)),
      fsci_(fsci),
      historical_(std::move(historical)) {}

void ProcessorCard::PowerUp() {
    state_ = State::Idle;
    blockNumber_ = 1;
    command_.clear();
    response_.clear();
    responseSent_ = 0;
    deferred_.clear();
    wtxDue_ = 0;
    lastBlock_.clear();
    blockIndex_ = 0;
    naksGiven_ = 0;
    app_.Reset();
}

void ProcessorCard::Activate() {
    PowerUp();
    state_ = State::Active;
}

std::size_t ProcessorCard::Fsc() const {
    return FrameSize(fsci_);
}

Bytes ProcessorCard::Ats() const {
    // TL, T0 (TA, TB and TC follow; FSCI), TA (106 kbit/s only), TB (FWI 8,
    // SFGI 0), TC (CID supported, NAD not), historical bytes.
    Bytes ats;
    ats.reserve(5 + historical_.size());
    ats.push_back(static_cast<std::uint8_t>(5 + historical_.size()));
    ats.push_back(static_cast<std::uint8_t>(0x70 | (fsci_ & 0x0F)));
    ats.push_back(0x80);
    ats.push_back(0x80);
    ats.push_back(0x02);
    for (std::uint8_t byte : historical_) ats.push_back(byte);
    return ats;
}

bool ProcessorCard::Transceive(std::uint8_t option, const std::uint8_t* in, std::size_t length,
                               Bytes& answer) {
    answer.clear();
    bool answered = false;
    // Without its CRC the frame is noise to the card.
    if ((option & kOptionTransmitCrc) != 0 && length > 0) {
        if (state_ == State::Active) {
            if (length == 2 && in[0] == 0xE0) {
                answered = OnRats(in, length, answer);
            } else if (length == 2 && in[0] == 0x50 && in[1] == 0x00) {
                state_ = State::Halted;  // HLTA: silent by definition
            }
        } else if (state_ == State::Protocol) {
            const std::uint8_t pcb = in[0];
            std::size_t pos = 1;
            bool ours = true;
            withCid_ = (pcb & kPcbCid) != 0;
            if (withCid_) {
                ours = length >= 2 && (in[1] & 0x0F) == 0;  // RATS assigned CID 0
                pos = 2;
            }
            if (ours && IsIBlock(pcb)) {
                if (pcb & kPcbNad) ++pos;
                if (pos <= length) answered = OnIBlock(pcb, in + pos, length - pos, answer);
            } else if (ours && IsRBlock(pcb) && length == pos) {
                answered = OnRBlock(pcb, answer);
            } else if (ours && IsSBlock(pcb)) {
                answered = OnSBlock(pcb, in + pos, length - pos, answer);
            }
        }
    }
    if (!answered) ++counters_.ignored;
    return answered;
}

bool ProcessorCard::OnRats(const std::uint8_t* in, std::size_t, Bytes& answer) {
    const std::uint8_t cid = in[1] & 0x0F;
    if (cid != 0) return false;  // only CID 0 is supported (one card per reader session)
    ++counters_.rats;
    fsd_ = FrameSize(in[1] >> 4);
    state_ = State::Protocol;
    blockNumber_ = 1;
    answer = Ats();
    lastBlock_.clear();
    return true;
}

Bytes ProcessorCard::Header(std::uint8_t pcb) const {
    Bytes block{static_cast<std::uint8_t>(pcb | (withCid_ ? kPcbCid : 0))};
    if (withCid_) block.push_back(0x00);
    return block;
}

void ProcessorCard::Remember(const Bytes& block, Bytes& answer) {
    lastBlock_ = block;
    answer = block;
}

void ProcessorCard::SendOrDefer(Bytes block, unsigned wtxCount, Bytes& answer) {
    if (wtxCount == 0) {
        Remember(block, answer);
        return;
    }
    deferred_ = std::move(block);
    wtxDue_ = wtxCount;
    Bytes wtx = Header(0xF2);
    wtx.push_back(quirks_.wtxm);
    Remember(wtx, answer);
}

Bytes ProcessorCard::NextResponseBlock(bool wrongNumber) {
    const std::size_t header = withCid_ ? 2 : 1;
    // What our FSD allows the card, and what one telegram reply can carry.
    const std::size_t room = std::min(fsd_ - kCrcBytes, kMaxCardAnswer) - header;
    const std::size_t remaining = response_.size() - responseSent_;
    const std::size_t take = std::min(remaining, room);
    const bool more = remaining > take;
    std::uint8_t pcb = static_cast<std::uint8_t>(0x02 | blockNumber_ | (more ? kPcbChaining : 0));
    if (wrongNumber) pcb ^= 0x01;
    Bytes block = Header(pcb);
    block.insert(block.end(), response_.begin() + static_cast<std::ptrdiff_t>(responseSent_),
                 response_.begin() + static_cast<std::ptrdiff_t>(responseSent_ + take));
    responseSent_ += take;
    return block;
}

bool ProcessorCard::OnIBlock(std::uint8_t pcb, const std::uint8_t* inf, std::size_t length,
                             Bytes& answer) {
    ++counters_.iBlocks;
    const std::size_t header = withCid_ ? 2 : 1;
    const std::size_t limit = quirks_.strictFrameSize ? Fsc() - kCrcBytes - header : Fsc();
    if (length > limit || command_.size() + length > kMaxCommandApdu) return false;

    // A new command ends whatever response was still being sent.
    response_.clear();
    responseSent_ = 0;
    deferred_.clear();
    wtxDue_ = 0;
    blockNumber_ = pcb & 0x01;

    const int index = static_cast<int>(blockIndex_);
    if (quirks_.nakOnBlock == index && naksGiven_ < quirks_.nakTimes) {
        ++naksGiven_;
        Remember(Header(static_cast<std::uint8_t>(0xA2 | kPcbNak | blockNumber_)), answer);
        return true;
    }
    naksGiven_ = 0;
    command_.insert(command_.end(), inf, inf + length);
    ++blockIndex_;
    const bool wrong = quirks_.wrongNumberOnBlock == index;
    if (pcb & kPcbChaining) {
        Remember(Header(static_cast<std::uint8_t>((0xA2 | blockNumber_) ^ (wrong ? 1 : 0))),
                 answer);
        return true;
    }
    response_ = app_.Process(command_.data(), command_.size());
    command_.clear();
    blockIndex_ = 0;
    SendOrDefer(NextResponseBlock(wrong), quirks_.wtxBeforeAnswer, answer);
    return true;
}

bool ProcessorCard::OnRBlock(std::uint8_t pcb, Bytes& answer) {
    const std::uint8_t number = pcb & 0x01;
    if (pcb & kPcbNak) {
        ++counters_.nakBlocks;
        // The reader missed our last block: send it again; or it missed
        // something older, and we confirm where we stand.
        if (number == blockNumber_ && !lastBlock_.empty()) {
            answer = lastBlock_;
        } else {
            Remember(Header(static_cast<std::uint8_t>(0xA2 | blockNumber_)), answer);
        }
        return true;
    }
    ++counters_.ackBlocks;
    if (number == blockNumber_) {
        if (lastBlock_.empty()) return false;
        answer = lastBlock_;
        return true;
    }
    if (responseSent_ >= response_.size() || !deferred_.empty()) return false;
    blockNumber_ ^= 0x01;
    SendOrDefer(NextResponseBlock(false), quirks_.wtxBeforeChained, answer);
    return true;
}

bool ProcessorCard::OnSBlock(std::uint8_t pcb, const std::uint8_t*, std::size_t length,
                             Bytes& answer) {
    if ((pcb & 0xF7) == 0xC2 && length == 0) {
        ++counters_.deselects;
        Remember(Header(0xC2), answer);
        state_ = State::Halted;
        return true;
    }
    if ((pcb & 0xF7) == 0xF2 && length == 1) {
        ++counters_.wtxResponses;
        if (wtxDue_ == 0) return false;
        if (--wtxDue_ > 0) {
            Bytes wtx = Header(0xF2);
            wtx.push_back(quirks_.wtxm);
            Remember(wtx, answer);
        } else {
            Remember(deferred_, answer);
            deferred_.clear();
        }
        return true;
    }
    return false;
}

const CardKind& ProcessorCard::Kind() const {
    return kProcessorCardKind;
}

namespace {

FileNode FileFrom(const Entry& f) {
    f.OnlyKeys({"fid", "aid", "files", "data", "size", "pattern"});
    if (!f.Has("fid")) f.Fail("a file needs a \"fid\"");
    const auto fid = static_cast<std::uint16_t>(f["fid"].Number(0xFFFF));
    if (f.Has("files") || f.Has("aid")) {
        std::vector<FileNode> children;
        if (f.Has("files")) {
            const Entry files = f["files"];
            for (std::size_t i = 0; i < files.List().size(); ++i) {
                children.push_back(FileFrom(files.At(i)));
            }
        }
        return FileNode::Df(fid, f.Has("aid") ? f["aid"].Hex() : Bytes{}, std::move(children));
    }
    Bytes data = f.Has("data") ? f["data"].Hex() : Bytes{};
    if (f.Has("size")) {
        const auto size = static_cast<std::size_t>(f["size"].Number(32767));
        if (size < data.size()) f.Fail("size is smaller than data");
        const bool pattern = f.Has("pattern") && f["pattern"].Bool();
        for (std::size_t i = data.size(); i < size; ++i) {
            data.push_back(pattern ? static_cast<std::uint8_t>(i % 251) : 0x00);
        }
    }
    return FileNode::Ef(fid, std::move(data));
}

// A signed number of small size, where -1 means "none".
int SmallNumber(const Entry& e) {
    const Json& value = e.Value();
    if (!value.is_number_integer() || value.get<std::int64_t>() < -1 ||
        (value.is_number_unsigned() && value.get<std::uint64_t>() > 1000000)) {
        e.Fail("expected a number from -1 to 1000000");
    }
    return static_cast<int>(value.get<std::int64_t>());
}

// A scenario entry: serial number, FSCI, historical bytes, the file system,
// the seed of GET CHALLENGE and the protocol quirks.
std::unique_ptr<Card> FromScenario(const Entry& c) {
    c.OnlyKeys({"type", "serial", "fsci", "historical", "files", "quirks", "challengeSeed"});
    std::vector<FileNode> files;
    if (c.Has("files")) {
        const Entry list = c["files"];
        for (std::size_t i = 0; i < list.List().size(); ++i) files.push_back(FileFrom(list.At(i)));
    }
    const auto seed = static_cast<std::uint32_t>(
        c.Has("challengeSeed") ? c["challengeSeed"].Number(0xFFFFFFFF) : 0x5EED1234);
    FileSystemApp app(FileNode::Df(0x3F00, {}, std::move(files)), seed == 0 ? 1 : seed);
    const auto fsci = static_cast<std::uint8_t>(c.Has("fsci") ? c["fsci"].Number(8) : 2);
    auto card = std::make_unique<ProcessorCard>(
        c["serial"].Hex(), std::move(app), fsci,
        c.Has("historical") ? c["historical"].Hex() : Bytes{0x5A, 0x45, 0x4C});
    if (c.Has("quirks")) {
        const Entry q = c["quirks"];
        q.OnlyKeys({"wtxBeforeAnswer", "wtxBeforeChained", "wtxm", "nakOnBlock", "nakTimes",
                    "wrongNumberOnBlock", "strictFrameSize"});
        ProtocolQuirks& quirks = card->Quirks();
        const auto number = [&q](const char* key, std::uint64_t otherwise, std::uint64_t max) {
            return q.Has(key) ? q[key].Number(max) : otherwise;
        };
        quirks.wtxBeforeAnswer = static_cast<unsigned>(number("wtxBeforeAnswer", 0, 1000));
        quirks.wtxBeforeChained = static_cast<unsigned>(number("wtxBeforeChained", 0, 1000));
        quirks.wtxm = static_cast<std::uint8_t>(number("wtxm", 1, 59));
        quirks.nakOnBlock = q.Has("nakOnBlock") ? SmallNumber(q["nakOnBlock"]) : -1;
        quirks.nakTimes = static_cast<unsigned>(number("nakTimes", 1, 1000));
        quirks.wrongNumberOnBlock =
            q.Has("wrongNumberOnBlock") ? SmallNumber(q["wrongNumberOnBlock"]) : -1;
        quirks.strictFrameSize = q.Has("strictFrameSize") && q["strictFrameSize"].Bool();
    }
    return card;
}

// Every transparent EF below df, by its path of FIDs from the master file
// ("E110/E104"), in the order of the tree.
template <typename Node, typename Visit>
void EachFile(Node& df, const std::string& path, Visit&& visit) {
    for (auto& child : df.children) {
        char fid[5];
        std::snprintf(fid, sizeof fid, "%04X", child.fid);
        const std::string at = path.empty() ? fid : path + "/" + fid;
        if (child.dedicated) {
            EachFile(child, at, visit);
        } else {
            visit(at, child);
        }
    }
}

// The contents of the elementary files, which UPDATE BINARY changes; the
// tree of files itself is the scenario's.
void SaveState(const Card& card, Json& entry) {
    const auto& processor = static_cast<const ProcessorCard&>(card);
    Json files = Json::object();
    EachFile(processor.App().Root(), "", [&files](const std::string& path, const FileNode& ef) {
        files[path] = HexText(ef.data.data(), ef.data.size());
    });
    entry["files"] = std::move(files);
}

// Files the state names are set (each must be an EF of the card, with its
// size); files it does not name keep the scenario's contents.
void LoadState(Card& card, const Entry& entry, StateChanges& changes) {
    auto& processor = static_cast<ProcessorCard&>(card);
    if (!entry.Has("files")) return;
    const Entry files = entry["files"];
    files.Object();
    std::vector<std::pair<std::string, FileNode*>> all;
    EachFile(processor.App().Root(), "",
             [&all](const std::string& path, FileNode& ef) { all.emplace_back(path, &ef); });
    for (const auto& item : files.Value().items()) {
        const std::string& path = item.key();
        const Entry file(item.value(), files.Where() + "." + path, Entry::File::State);
        const auto it = std::find_if(all.begin(), all.end(),
                                     [&path](const auto& named) { return named.first == path; });
        if (it == all.end()) file.Fail("the card has no elementary file at this path");
        FileNode* ef = it->second;
        const Bytes data = file.ExactBytes(ef->data.size());
        changes.push_back([ef, data] { ef->data = data; });
    }
}

}  // namespace

const CardKind kProcessorCardKind{"iso14443-4", "ISO/IEC 14443-4 processor card", FromScenario,
                                  SaveState, LoadState};

}  // namespace zelvorn::virt
