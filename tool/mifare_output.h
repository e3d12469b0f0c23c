// How the MIFARE Classic commands show what they read: blocks with their
// text and value, access bits in words, a dump sector by sector, and
// progress on stderr.
#pragma once

#include <cstdint>
#include <string>

#include "tool/dump_file.h"
#include "tool/mifare_card.h"

namespace zelvorn::tool {

// "  4  48 65 ...  |Hello|  value 1234 (address 5)"
void PrintBlock(int block, const std::uint8_t* data);

// What the access bits of a trailer allow, group by group.
void PrintAccess(int trailerBlock, const std::uint8_t* trailer);
// The same for conditions alone, for a sector of blocksInSector blocks
// starting at firstBlock (a negative firstBlock leaves the block numbers out).
void PrintConditions(const Conditions& conditions, int firstBlock, int blocksInSector);

// One sector of a dump as it was read: its heading, each block, the access
// bits of its trailer and the keys the dump does not know.
void PrintSector(const SectorRead& read, const MifareDump& dump);

// A warning on stderr, after what stdout holds so far.
void Warn(const std::string& text);

// Progress of a dump on stderr: one line rewritten in place on a terminal;
// with --progress a line per sector with the keys tried on it.
class Progress {
public:
    Progress(bool requested, int total);
    void Start(int sector, int index);
    void Done(const SectorRead& read, int index);
    void Clear();

private:
    bool terminal_;
    bool lines_;
    int total_;
};

}  // namespace zelvorn::tool
