#include "virtual/field_control.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace zelvorn::virt {

void FieldControl::Track(const std::vector<VirtualReader*>& readers) {
    slots_.clear();
    for (VirtualReader* reader : readers) {
        Slot slot{reader, {}, {}};
        Firmware& firmware = reader->Device();
        for (std::size_t c = 0; c < firmware.CardCount(); ++c) {
            slot.scenarioCards.push_back(&firmware.CardAt(c));
        }
        slots_.push_back(std::move(slot));
    }
}

bool FieldControl::Command(const std::string& line, std::string* error) {
    std::istringstream in(line);
    std::string verb;
    std::size_t reader = 0;
    if (!(in >> verb >> reader) || reader >= slots_.size()) {
        *error = "expected <verb> <reader> with a reader below " + std::to_string(slots_.size());
        return false;
    }
    Slot& slot = slots_[reader];
    if (verb == "unplug" || verb == "plug") {
        if (verb == "unplug") {
            slot.reader->Unplug();
        } else {
            slot.reader->Plug();
        }
        return true;
    }
    std::size_t card = 0;
    if ((verb != "remove" && verb != "insert") || !(in >> card) ||
        card >= slot.scenarioCards.size()) {
        *error = "expected remove|insert <reader> <card>, unplug|plug <reader>";
        return false;
    }
    const Card* wanted = slot.scenarioCards[card];
    Firmware& firmware = slot.reader->Device();
    if (verb == "remove") {
        std::unique_ptr<Card> taken = firmware.TakeCard(*wanted);
        if (taken == nullptr) {
            *error = "the card is not in the field";
            return false;
        }
        slot.taken.push_back(std::move(taken));
        return true;
    }
    for (auto it = slot.taken.begin(); it != slot.taken.end(); ++it) {
        if (it->get() == wanted) {
            firmware.AddCard(std::move(*it));
            slot.taken.erase(it);
            return true;
        }
    }
    *error = "the card is already in the field";
    return false;
}

void FieldControl::Follow(const std::string& path) {
    path_ = path;
    struct stat st {};
    offset_ = stat(path.c_str(), &st) == 0 ? static_cast<std::uintmax_t>(st.st_size) : 0;
}

void FieldControl::Poll() {
    if (path_.empty()) return;
    // One stat per command frame: cheap next to a USB exchange, and it lets
    // the file be written by any program at any time.
    struct stat st {};
    if (stat(path_.c_str(), &st) != 0) return;
    const auto size = static_cast<std::uintmax_t>(st.st_size);
    if (size < offset_) offset_ = 0;  // the file was started afresh
    if (size == offset_) return;
    std::ifstream in(path_, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset_));
    std::string line;
    // Only whole lines count: a line still being written waits for its end.
    while (std::getline(in, line) && !in.eof()) {
        offset_ += line.size() + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        std::string error;
        if (!Command(line, &error)) {
            std::fprintf(stderr, "zelvorn-virtual: control \"%s\": %s\n", line.c_str(),
                         error.c_str());
        }
    }
}

}  // namespace zelvorn::virt
