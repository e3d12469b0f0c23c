// A control file through which a running test (or a person) takes cards out
// of a virtual reader's field, puts them back, and pulls or plugs in a
// reader, while a program uses the readers.
//
// The control file is named by ZELVORN_VIRTUAL_CONTROL. Lines appended to it
// are carried out, in order and once each, before the next command frame
// reaches any reader:
//   remove <reader> <card>   the card leaves the field (memory kept)
//   insert <reader> <card>   it comes back, as a freshly powered card
//   unplug <reader>          every transfer on the reader fails from now on
//   plug <reader>            the reader is back (handles opened before stay dead)
// <card> counts the scenario's cards of that reader from 0. A line that
// cannot be carried out is reported on stderr and skipped; empty lines and
// lines starting with '#' are skipped too.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "virtual/card.h"
#include "virtual/virtual_reader.h"

namespace zelvorn::virt {

constexpr char kControlVariable[] = "ZELVORN_VIRTUAL_CONTROL";

class FieldControl {
public:
    // The readers the lines name, by index; each one's cards as they are now
    // count as its scenario's cards. The readers must outlive the control.
    void Track(const std::vector<VirtualReader*>& readers);
    // Carries out one line; false (and why in error) when it cannot.
    bool Command(const std::string& line, std::string* error);
    // Follows a control file from its current end.
    void Follow(const std::string& path);
    // Carries out the lines appended to the file since the last call.
    void Poll();

private:
    struct Slot {
        VirtualReader* reader;
        std::vector<const Card*> scenarioCards;    // in the scenario's order
        std::vector<std::unique_ptr<Card>> taken;  // out of the field for now
    };
    std::vector<Slot> slots_;
    std::string path_;
    std::uintmax_t offset_ = 0;
};

}  // namespace zelvorn::virt
