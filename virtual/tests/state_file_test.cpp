// State files: what a file the reader cannot take is told as, and that it
// leaves the reader as it was.
#include "virtual/state_file.h"

#include <gtest/gtest.h>

#include "virtual/cards/processor_card.h"
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
        {R"({"format": "zelvorn-virtual-state", "cards": [{"kind": "iso14443-4",
             "serial": "045A454C564F01", "files": {"5000/5003": "00"}}]})",
         "cards[0].files.5000/5003: the card has no elementary file at this path"},
        {R"({"format": "zelvorn-virtual-state", "cards": [{"kind": "iso14443-4",
             "serial": "045A454C564F01", "files": {"5000/5002": "00"}}]})",
         "cards[0].files.5000/5002: expected 16 bytes"},
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

// What UPDATE BINARY wrote to a processor card's file is in the state, and
// comes back in the next run's reader.
TEST(StateFile, KeepsTheProcessorCardsFiles) {
    Firmware first, second;
    Scenario one = Scenario_Default(), two = Scenario_Default();
    Apply(one, first);
    Apply(two, second);
    auto label = [](Firmware& f) -> Bytes& {
        auto& card = dynamic_cast<ProcessorCard&>(f.CardAt(1));
        return card.App().Find({0x5000, 0x5002})->data;
    };
    label(first).assign(label(first).size(), 0x42);
    ASSERT_NE(label(second), label(first));
    State_Load(State_Save(first), second);
    EXPECT_EQ(label(second), label(first));
}

}  // namespace
}  // namespace zelvorn::virt::testing
