// The virtual reader's state between two runs of a program: what a reader on
// the desk and the cards on it keep when the program stops. That is the keys
// the reader stores, its EEPROM, the memory of its MIFARE Classic cards and
// Type 2 tags and the sectors of its ASK tickets. The cards themselves come from the
// scenario; the state gives those of them it names (by type and serial
// number) their memory back.
#pragma once

#include <stdexcept>
#include <string>

namespace zelvorn::virt {

class Firmware;

// A state file that cannot be used; what() names the offending entry.
class StateError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string State_Save(Firmware& firmware);

// Checks the whole text before it changes anything. Every refusal is a
// StateError naming the entry, never an exception of the JSON library.
void State_Load(const std::string& text, Firmware& firmware);

// The state file itself. Errors are StateError with what is wrong in words;
// the caller names the file.
//
// A state that cannot be saved loses what a program did to the reader, so
// a caller checks before any card work that it can be: the file's folder
// must take a new file, and a file that is there must not be read-only (its
// permissions give nobody the right to write it, which is honoured even for
// a user the system would let write anyway). Such refusals say "cannot be
// written", and so do the failures of State_SaveFile.
void State_LoadFile(const std::string& path, Firmware& firmware);
void State_CheckWritable(const std::string& path);

// Writes the state whole or not at all: into a new file in the same folder,
// flushed to the disk, then renamed over the old one, so that a crash or a
// full disk never leaves half a state behind. A file that was there keeps
// its permissions.
void State_SaveFile(const std::string& path, Firmware& firmware);

// The words that begin the message of every failure to write a state file.
inline constexpr char kStateCannotBeWritten[] = "cannot be written: ";

}  // namespace zelvorn::virt
