// The tool's look at the reader's USB devices on Linux (list --diagnose) on
// the emulated bus: what udev and the device nodes tell the tool, and the
// tool itself, run as a program, when the library finds no reader.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/linux/fake_usb_bus.h"
#include "tool/usb_check.h"
#include "zelvorn_device.h"

namespace zelvorn::linuxtest {
namespace {

using tool::UsbCheck;
using State = tool::UsbReaderDevice::State;

Bytes WithReaderIds() {
    return ReaderDescriptors({{0x81, 0x03}}, ZELVORN_DEVICE_USB_PRODUCT_ID,
                             ZELVORN_DEVICE_USB_VENDOR_ID);
}

// Another maker's device, which the check passes over even when tagged.
Bytes WithOtherIds() {
    return ReaderDescriptors({{0x81, 0x03}}, 0xC52B, 0x046D);
}

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// The tool as its own process: it inherits the emulated bus (umockdev's
// library and testbed) and the private udev database of this one.
Outcome RunTool(const std::string& args) {
    const std::string errFile = ::testing::TempDir() + "zelvorn-usb-check-stderr";
    Outcome o;
    FILE* pipe =
        popen((std::string(ZELVORN_TOOL_PROGRAM) + " " + args + " 2>" + errFile).c_str(), "r");
    if (pipe == nullptr) return o;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) o.out.append(buffer, n);
    const int status = pclose(pipe);
    o.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::stringstream err;
    err << std::ifstream(errFile).rdbuf();
    o.err = err.str();
    std::remove(errFile.c_str());
    return o;
}

class UsbCheckTest : public ::testing::Test {
protected:
    void TearDown() override { bus().RemoveAll(); }
    FakeUsbBus& bus() { return FakeUsbBus::Instance(); }
};

TEST_F(UsbCheckTest, TellsUntaggedInaccessibleAndReadyDevicesApart) {
    struct Device {
        int port;
        bool tagged;
        bool readerIds;
        bool locked;  // device node open to nobody
    };
    struct Expected {
        int port;
        State state;
    };
    struct Case {
        const char* name;
        std::vector<Device> devices;
        std::vector<Expected> found;  // in udev's order, by port
        const char* reason;           // part of what follows "no reader found: "
    };
    const std::vector<Case> cases{
        {"nothing with the IDs",
         {{2, true, false, false}, {3, false, false, false}},
         {},
         "no USB device with the reader's ID "},
        {"not tagged by the rules",
         {{2, false, true, false}},
         {{2, State::NotTagged}},
         "reader present but not tagged by the udev rules"},
        {"tagged but not open to this user",
         {{2, true, true, true}},
         {{2, State::NotAccessible}},
         "reader present but this user cannot open it (Permission denied)"},
        {"tagged and open to this user",
         {{2, true, true, false}},
         {{2, State::Ready}},
         "reader present and set up, but the library could not open it"},
        {"the first device that lacks something names the next step",
         {{4, false, true, false}, {3, true, true, false}, {5, true, false, false}},
         {{3, State::Ready}, {4, State::NotTagged}},
         "not tagged by the udev rules"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::map<int, std::string> nodes;
        for (const Device& d : c.devices) {
            FakeUsbDevice& added =
                bus().Add(d.port, d.tagged, d.readerIds ? WithReaderIds() : WithOtherIds());
            if (d.locked) bus().ChmodNode(added, 0);
            nodes[d.port] = added.devnode();
        }
        UsbCheck check;
        {
            WithoutPermissionOverride asUser;
            ASSERT_TRUE(asUser.ok());
            check = tool::CheckUsbDevices();
        }
        EXPECT_EQ(check.failure, "");
        ASSERT_EQ(check.devices.size(), c.found.size());
        for (std::size_t i = 0; i < c.found.size(); ++i) {
            EXPECT_EQ(check.devices[i].name, nodes[c.found[i].port]);
            EXPECT_EQ(check.devices[i].state, c.found[i].state) << check.devices[i].name;
        }
        const std::string reason = tool::NoReaderReason(check);
        EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
        bus().RemoveAll();
    }
}

TEST_F(UsbCheckTest, TheToolSaysWhyItFindsNoReader) {
    struct Case {
        const char* args;
        bool tagged;
        const char* out;  // part of stdout ("" for none at all)
        const char* err;  // part of stderr
    };
    const Case cases[] = {
        {"list", false, "",
         "zelvorn: error: no reader found: reader present but not tagged by the udev rules: "
         "install 70-zelvorn.rules"},
        {"list --diagnose", false, ": reader present but not tagged by the udev rules",
         "zelvorn: error: no reader found: reader present but not tagged"},
        {"--json list --diagnose", false, "\"state\": \"notTagged\"", "no reader found"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        // Untagged: the library, which takes every tagged device for a
        // reader, would try to open it.
        bus().Add(2, false, WithOtherIds());
        FakeUsbDevice& reader = bus().Add(3, c.tagged, WithReaderIds());
        const Outcome o = RunTool(c.args);
        EXPECT_EQ(o.exitCode, 5) << o.err;
        EXPECT_NE(o.err.find(c.err), std::string::npos) << o.err;
        if (*c.out == 0) {
            EXPECT_EQ(o.out, "");
        } else {
            EXPECT_NE(o.out.find(c.out), std::string::npos) << o.out;
            EXPECT_NE(o.out.find(reader.devnode()), std::string::npos) << o.out;
        }
        bus().RemoveAll();
    }

    // The JSON document names the IDs and each device with its state.
    bus().Add(3, false, WithReaderIds());
    const Outcome o = RunTool("--json list --diagnose");
    const auto doc = nlohmann::json::parse(o.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << o.out;
    EXPECT_EQ(doc["readers"], nlohmann::json::array());
    EXPECT_EQ(doc["usb"]["devices"].size(), 1u);
    EXPECT_EQ(doc["usb"]["devices"][0]["state"], "notTagged");
    char id[16];
    std::snprintf(id, sizeof id, "%04x:%04x", ZELVORN_DEVICE_USB_VENDOR_ID,
                  ZELVORN_DEVICE_USB_PRODUCT_ID);
    EXPECT_EQ(doc["usb"]["id"], id);
}

}  // namespace
}  // namespace zelvorn::linuxtest
