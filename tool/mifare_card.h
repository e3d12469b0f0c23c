// A MIFARE Classic card in the reader's field: choosing it, logging in to
// its sectors, and reading sectors into a dump.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tool/commands.h"
#include "tool/dump_file.h"
#include "tool/errors.h"
#include "tool/mifare_keys.h"
#include "tool/mifare_layout.h"

namespace zelvorn::tool {

struct MifareOptions : KeyOptions {
    std::string card;  // serial number; empty: the first MIFARE card
};

// The card asked for and the ways to log in to it, checked before anything is
// loaded or sent.
struct MifareTarget {
    KeyChoice keys;
    Bytes serial;  // empty: the first MIFARE Classic card in the field
    std::string keyType;
};
MifareTarget ParseTarget(const MifareOptions& options);

// "Mini", "1K" or "4K" for a card type byte.
std::string SizeName(std::uint8_t type);

// The selected MIFARE Classic card.
class MifareCard {
public:
    MifareCard(const ReaderSession& reader, const MifareTarget& target);

    std::uint8_t Type() const { return type_; }
    const Bytes& Serial() const { return serial_; }
    int SectorCount() const { return SectorCountForType(type_); }
    int BlockCount() const { return BlockCountForSectors(SectorCount()); }
    const std::vector<Credential>& Credentials() const { return target_.keys.credentials; }
    const MifareTarget& Target() const { return target_; }
    const ReaderSession& Reader() const { return reader_; }

    void CheckBlock(int block) const;

    // Tries the credentials in turn, from the first-th on. A refused login
    // leaves the card halted, so it is selected afresh before the next try.
    // Returns the index of the one that worked, or -1 with the last refusal
    // in lastResult.
    int Login(int sector, const std::vector<Credential>& credentials, std::size_t first,
              std::int16_t& lastResult);

    // Logs in to the sector of a block or fails with the last refusal;
    // returns the credential that worked.
    const Credential& LoginFor(int block);

    // Logs in to the sector of a block with a key that may do the operation
    // there. With both kinds of key to try, the trailer's access bits tell
    // which kind has the right, and the other kind is taken where the first
    // login's kind has none.
    void LoginWithRight(int block, mifare::DataOperation operation);

    ToolError LoginFailed(int sector, std::int16_t result,
                          const std::vector<Credential>& tried) const;

    void Select();

    // One block read of the sector logged in to: the reader's result, and
    // data filled only when its reply carried the block.
    std::int16_t TryRead(int block, Block& data);
    // A block read or write that must succeed: it throws, naming the block.
    Block Read(int block);
    void Write(int block, const Block& data);

private:
    void FindFirst();

    const ReaderSession& reader_;
    MifareTarget target_;
    Bytes serial_;
    std::uint8_t type_ = 0;
};

// What reading one sector came to.
struct SectorRead {
    int sector = 0;
    int keysTried = 0;                       // logins made to open it
    std::int16_t loginResult = RESULT_OK;    // the last refusal when none opened it
    const Credential* opener = nullptr;      // none: no key was accepted
    std::string otherKey;                    // the other key's label, where found too
    std::vector<std::int16_t> blockResults;  // per block of the sector, when opened
    bool Whole() const;
};

// Reads sectors first..last into dump (sized for the card), trying the
// credentials in the order search gives and telling it what opened each
// sector. before runs as a sector starts, after when it is done.
void ReadSectors(MifareCard& card, KeySearch& search, int first, int last, MifareDump& dump,
                 const std::function<void(int sector)>& before,
                 const std::function<void(const SectorRead&)>& after);

}  // namespace zelvorn::tool
