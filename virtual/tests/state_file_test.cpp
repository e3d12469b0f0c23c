// State files: what a file the reader cannot take is told as, and that it
// leaves the reader as it was.
#include "virtual/state_file.h"

#include <gtest/gtest.h>

#include "virtual/firmware.h"
#include "virtual/scenario.h"

namespace zelvorn::virt::testing {
namespace {

TEST(StateFile, EveryRefusalIsAStateErrorInWords) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"eeprom": 66e66666})", "a number too large to store"},
        {R"({"format": "zelvorn-virtual-state", "keys": {"3": "A0"}})", "keys.3: expected 6 bytes"},
        {R"({"format": "zelvorn-virtual-state", "cards": [{"kind": "mifare-classic",
             "serial": "A1B2C3D4", "blocks": []}]})",
         "cards[0].blocks: expected 64 blocks"},
        {R"({"format": )", "not valid JSON: it ends before the document does"},
        {"{\"format\":\n x}", "not valid JSON at line 2, column 2"},
        {R"({"keys": {}})", "format: not a state file"},
    };
    Firmware firmware;
    Scenario scenario = Scenario_Default();
    Apply(scenario, firmware);
    const std::string before = State_Save(firmware);
    for (const auto& [text, message] : cases) {
        try {
            State_Load(text, firmware);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const StateError& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find(message), std::string::npos) << what;
            EXPECT_EQ(what.find("json.exception"), std::string::npos) << what;
        }
        EXPECT_EQ(State_Save(firmware), before) << text;
    }
}

}  // namespace
}  // namespace zelvorn::virt::testing
