// The virtual reader's state file, which any program's user can hand it: a
// file it refuses must end in a StateError in words and leave the reader as
// it was.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "virtual/firmware.h"
#include "virtual/scenario.h"
#include "virtual/state_file.h"

using namespace zelvorn::virt;

namespace {

// A reader with the default scenario's cards, as every input finds it.
void MakeDefault(Firmware& firmware) {
    Scenario scenario = Scenario_Default();
    Apply(scenario, firmware);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Saving the state is most of the work of an input; the untouched reader's
    // state is the same every time, so it is saved once.
    static const std::string before = [] {
        Firmware firmware;
        MakeDefault(firmware);
        return State_Save(firmware);
    }();
    Firmware firmware;
    MakeDefault(firmware);
    try {
        State_Load(std::string(reinterpret_cast<const char*>(data), size), firmware);
        // What was loaded saves and loads again to the same state.
        const std::string saved = State_Save(firmware);
        State_Load(saved, firmware);
        if (State_Save(firmware) != saved) __builtin_trap();
    } catch (const StateError& e) {
        if (State_Save(firmware) != before) __builtin_trap();
        // What is wrong, in words: never the JSON library's own text (unless
        // the file itself holds it, quoted in the message).
        if (std::string(e.what()).find("[json.exception.") != std::string::npos &&
            std::string_view(reinterpret_cast<const char*>(data), size).find("json.exception") ==
                std::string_view::npos) {
            __builtin_trap();
        }
    }
    return 0;
}
