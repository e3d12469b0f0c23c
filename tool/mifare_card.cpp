#include "tool/mifare_card.h"

#include <algorithm>

#include <fmt/format.h>

#include "tool/errors.h"
#include "tool/written.h"

namespace zelvorn::tool {

MifareTarget ParseTarget(const MifareOptions& options) {
    MifareTarget target{ChooseKeys(options), {}, options.keyType};
    if (!options.card.empty()) {
        target.serial = ParseHex(options.card, "card serial number");
        const std::size_t n = target.serial.size();
        if (n != 4 && n != 7 && n != 10) {
            throw UsageError(
                fmt::format("card serial number \"{}\": {} bytes; a serial number has 4, 7 or 10",
                            options.card, n));
        }
    }
    return target;
}

std::string SizeName(std::uint8_t type) {
    switch (SectorCountForType(type)) {
        case 5:
            return "Mini";
        case 40:
            return "4K";
        default:
            return "1K";
    }
}

MifareCard::MifareCard(const ReaderSession& reader, const MifareTarget& target)
    : reader_(reader), target_(target), serial_(target.serial) {
    if (serial_.empty()) FindFirst();
    Select();
    if (!HasClassicMemory(type_)) {
        throw ToolError(kExitNotFound,
                        fmt::format("the card {} ({}, type {:02X}) has no MIFARE Classic memory",
                                    HexText(serial_, ""), CardTypeName(type_), type_));
    }
}

void MifareCard::CheckBlock(int block) const {
    if (block >= BlockCount()) {
        throw UsageError(fmt::format("block {} is beyond this {} card (blocks 0..{})", block,
                                     SizeName(type_), BlockCount() - 1));
    }
}

int MifareCard::Login(int sector, const std::vector<Credential>& credentials, std::size_t first,
                      std::int16_t& lastResult) {
    const Api& api = reader_.api();
    for (std::size_t i = first; i < credentials.size(); ++i) {
        const Credential& c = credentials[i];
        lastResult = api.Zelvorn_Login(reader_.handle(), static_cast<std::uint8_t>(sector),
                                       c.keyType, c.storedKeyNo, c.key.data());
        if (lastResult == RESULT_OK) return static_cast<int>(i);
        if (IsLibraryFailure(lastResult)) {
            throw StepFailed(fmt::format("log in to sector {} with {}", sector, c.label),
                             lastResult);
        }
        Select();
    }
    return -1;
}

const Credential& MifareCard::LoginFor(int block) {
    CheckBlock(block);
    const int sector = SectorOf(block);
    std::int16_t result = RESULT_OK;
    const int used = Login(sector, Credentials(), 0, result);
    if (used < 0) throw LoginFailed(sector, result, Credentials());
    return Credentials()[static_cast<std::size_t>(used)];
}

void MifareCard::LoginWithRight(int block, mifare::DataOperation operation) {
    const Credential& first = LoginFor(block);
    const int sector = SectorOf(block);
    const char other = first.kind == 'A' ? 'B' : 'A';
    std::vector<Credential> others;
    for (const Credential& c : Credentials()) {
        if (c.kind == other) others.push_back(c);
    }
    if (others.empty()) return;
    // Key A may always read the access bits; key B where they let it.
    Block trailer{};
    const std::int16_t r = TryRead(TrailerOf(sector), trailer);
    if (IsLibraryFailure(r)) throw StepFailed(fmt::format("read block {}", TrailerOf(sector)), r);
    const auto conditions = r == RESULT_OK ? TrailerConditions(trailer.data()) : std::nullopt;
    if (!conditions) {
        // Unknown rights: the operation is tried with the key that opened.
        if (r != RESULT_OK) Select();
        if (r != RESULT_OK) LoginFor(block);
        return;
    }
    const std::uint8_t keys = mifare::DataRight(*conditions, mifare::GroupOf(block), operation);
    const std::uint8_t mine = first.kind == 'A' ? mifare::kKeyA : mifare::kKeyB;
    if ((keys & mine) != 0 || keys == mifare::kNever) return;
    std::int16_t result = RESULT_OK;
    if (Login(sector, others, 0, result) < 0) {
        ToolError failed = LoginFailed(sector, result, others);
        throw ToolError(failed.ExitCode(),
                        fmt::format("block {}: only key {} may do this ({}); {}", block, other,
                                    first.label + " opened the sector", failed.what()));
    }
}

ToolError MifareCard::LoginFailed(int sector, std::int16_t result,
                                  const std::vector<Credential>& tried) const {
    std::string list;
    bool a = false, b = false;
    for (const Credential& c : tried) {
        (c.kind == 'A' ? a : b) = true;
    }
    if (tried.size() <= 4) {
        for (const Credential& c : tried) list += (list.empty() ? "" : ", ") + c.label;
        if (tried.size() > 1) list = "any of " + list;
    } else {
        list = fmt::format("any of {} keys ({} first)", tried.size(), tried.front().label);
    }
    // What was tried, and what is left to try.
    std::string left;
    if (a && b) {
        left =
            "every key given was refused as key A and as key B: give the sector's key with "
            "-k KEY or a key file with -K FILE";
    } else {
        left = fmt::format("key {} was not tried (-t both tries it too)", a ? 'B' : 'A');
    }
    ToolError error = StepFailed(fmt::format("log in to sector {} with {}", sector, list), result);
    if (result == kReaderAuthFailed) {
        return ToolError(error.ExitCode(), fmt::format("{}; {}", error.what(), left));
    }
    return error;
}

void MifareCard::Select() {
    const Api& api = reader_.api();
    std::uint8_t length = 0;
    std::uint8_t serial[ZELVORN_SERIAL_FIELD] = {};
    const std::int16_t result = ReadWritten({AsBytes(length)}, [&] {
        return api.Zelvorn_MultiTagSelect(reader_.handle(),
                                          static_cast<std::uint8_t>(serial_.size()), serial_.data(),
                                          &type_, &length, serial);
    });
    if (result != RESULT_OK) {
        ToolError error =
            StepFailed(fmt::format("select the card {}", HexText(serial_, "")), result);
        if (IsLibraryFailure(result)) throw error;
        throw ToolError(kExitNotFound, error.what());
    }
}

std::int16_t MifareCard::TryRead(int block, Block& data) {
    return ReadWritten({data}, [&] {
        return reader_.api().Zelvorn_Read(reader_.handle(), static_cast<std::uint8_t>(block),
                                          data.data());
    });
}

Block MifareCard::Read(int block) {
    Block data{};
    Check(TryRead(block, data), fmt::format("read block {}", block));
    return data;
}

void MifareCard::Write(int block, const Block& data) {
    Check(reader_.api().Zelvorn_Write(reader_.handle(), static_cast<std::uint8_t>(block),
                                      data.data()),
          fmt::format("write block {}", block));
}

void MifareCard::FindFirst() {
    const Api& api = reader_.api();
    std::uint8_t count = 0;
    std::uint8_t types[ZELVORN_MAX_LISTED_TAGS] = {};
    std::uint8_t lengths[ZELVORN_MAX_LISTED_TAGS] = {};
    std::uint8_t serials[ZELVORN_MAX_LISTED_TAGS * ZELVORN_SERIAL_FIELD] = {};
    const std::int16_t result = ReadWritten({AsBytes(count)}, [&] {
        return api.Zelvorn_ListTags(reader_.handle(), &count, types, lengths, serials);
    });
    if (result != RESULT_OK && result != kReaderNoCard) {
        throw StepFailed("list the cards in the field", result);
    }
    for (std::uint8_t i = 0; result == RESULT_OK && i < count && i < ZELVORN_MAX_LISTED_TAGS; ++i) {
        if (HasClassicMemory(types[i])) {
            const std::uint8_t* s = serials + i * ZELVORN_SERIAL_FIELD;
            serial_.assign(s, s + std::min<std::size_t>(lengths[i], ZELVORN_SERIAL_FIELD));
            return;
        }
    }
    throw ToolError(kExitNotFound, "no MIFARE Classic card in the field");
}

bool SectorRead::Whole() const {
    return opener != nullptr && std::all_of(blockResults.begin(), blockResults.end(),
                                            [](std::int16_t r) { return r == RESULT_OK; });
}

namespace {

// Fills in the keys the trailer does not show: key A never reads back, and
// key B only where the access bits make it data. A key neither shown nor
// found stays as the card gave it and is marked unknown, so that no file
// passes the card's stand-in zeros off as its key.
void FillKeys(MifareDump& dump, int sector, Block& trailer, const Credential* keyA,
              const Credential* keyB, bool keyBIsData) {
    const bool aKnown = keyA != nullptr && keyA->keyKnown;
    if (aKnown) std::copy(keyA->key.begin(), keyA->key.end(), trailer.begin());
    SetKeyKnown(dump, sector, 'A', aKnown);
    const bool bKnown = keyBIsData || (keyB != nullptr && keyB->keyKnown);
    if (!keyBIsData && bKnown) std::copy(keyB->key.begin(), keyB->key.end(), trailer.begin() + 10);
    SetKeyKnown(dump, sector, 'B', bKnown);
}

std::vector<Credential> InOrder(const std::vector<Credential>& all,
                                const std::vector<std::size_t>& order) {
    std::vector<Credential> out;
    out.reserve(order.size());
    for (const std::size_t i : order) out.push_back(all[i]);
    return out;
}

}  // namespace

void ReadSectors(MifareCard& card, KeySearch& search, int first, int last, MifareDump& dump,
                 const std::function<void(int sector)>& before,
                 const std::function<void(const SectorRead&)>& after) {
    const std::vector<Credential>& all = search.Credentials();
    for (int sector = first; sector <= last; ++sector) {
        before(sector);
        SectorRead s;
        s.sector = sector;
        const std::vector<std::size_t> order = search.Order(sector);
        const int used = card.Login(sector, InOrder(all, order), 0, s.loginResult);
        s.keysTried = used < 0 ? static_cast<int>(order.size()) : used + 1;
        if (used < 0) {
            after(s);
            continue;
        }
        const std::size_t opener = order[static_cast<std::size_t>(used)];
        search.Opened(opener);
        s.opener = &all[opener];
        s.loginResult = RESULT_OK;
        const int firstBlock = FirstBlockOf(sector);
        const int trailerBlock = TrailerOf(sector);
        for (int block = firstBlock; block <= trailerBlock; ++block) {
            Block data{};
            const std::int16_t r = card.TryRead(block, data);
            if (IsLibraryFailure(r)) throw StepFailed(fmt::format("read block {}", block), r);
            s.blockResults.push_back(r);
            if (r == RESULT_OK) dump.blocks[static_cast<std::size_t>(block)] = data;
        }
        dump.openedWith[static_cast<std::size_t>(sector)] = s.opener->label;
        if (auto& trailer = dump.blocks[static_cast<std::size_t>(trailerBlock)]) {
            const auto conditions = TrailerConditions(trailer->data());
            const bool keyBIsData = conditions && KeyBReadable((*conditions)[3]);
            // The other key, where the credentials hold one of its kind. The
            // card is still logged in, so a new login needs no select unless
            // a refused read dropped it.
            const Credential* other = nullptr;
            const char otherKind = s.opener->kind == 'A' ? 'B' : 'A';
            if (!(otherKind == 'B' && keyBIsData)) {
                std::vector<std::size_t> candidates;
                for (const std::size_t i : search.Order(sector, otherKind)) {
                    if (all[i].keyKnown) candidates.push_back(i);
                }
                if (!candidates.empty()) {
                    if (!s.Whole()) card.Select();
                    std::int16_t ignored = RESULT_OK;
                    const int hit = card.Login(sector, InOrder(all, candidates), 0, ignored);
                    s.keysTried += hit < 0 ? static_cast<int>(candidates.size()) : hit + 1;
                    if (hit >= 0) {
                        const std::size_t index = candidates[static_cast<std::size_t>(hit)];
                        search.Opened(index);
                        other = &all[index];
                        s.otherKey = other->label;
                    }
                }
            }
            FillKeys(dump, sector, *trailer, s.opener->kind == 'A' ? s.opener : other,
                     s.opener->kind == 'B' ? s.opener : other, keyBIsData);
        }
        after(s);
    }
}

}  // namespace zelvorn::tool
