// The virtual reader's scenario file, which any program's user can hand it:
// a file it refuses must end in a ScenarioError that says what is wrong in
// words (never the JSON library's text), and a file it takes must make a
// reader that powers on with its cards.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "virtual/firmware.h"
#include "virtual/scenario.h"

using namespace zelvorn::virt;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        Scenario scenario =
            Scenario_FromJson(std::string(reinterpret_cast<const char*>(data), size));
        Firmware firmware;
        Apply(scenario, firmware);
    } catch (const ScenarioError& e) {
        // The JSON library's text only where the file itself holds it,
        // quoted in the message.
        if (std::string(e.what()).find("[json.exception.") != std::string::npos &&
            std::string_view(reinterpret_cast<const char*>(data), size).find("json.exception") ==
                std::string_view::npos) {
            __builtin_trap();
        }
    }
    return 0;
}
