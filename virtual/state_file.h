// The virtual reader's state between two runs of a program: what a reader on
// the desk and the cards on it keep when the program stops. That is the keys
// the reader stores, its EEPROM, the memory of its MIFARE Classic cards and
// the sectors of its ASK tickets. The cards themselves come from the
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

// Checks the whole text before it changes anything.
void State_Load(const std::string& text, Firmware& firmware);

}  // namespace zelvorn::virt
