// Opening and closing readers: port numbering, the failure results, what is
// released on every path, and the reset sent at open.
#include <gtest/gtest.h>

#include "tests/support/double_fixture.h"

namespace zelvorn::testing {
namespace {

using Events = std::vector<std::string>;

class ReaderTableTest : public DoubleTest {};

TEST_F(ReaderTableTest, OutOfRangePortsFailToOpenAndHandlesFailToClose) {
    usb().AddReader();
    for (int16_t port : {20, -1, 32767, -32768}) {
        EXPECT_EQ(Zelvorn_Open(port), ERR_OPEN_FAILED) << port;
        EXPECT_EQ(Zelvorn_Close(port), ERR_INVALID_HANDLE) << port;
    }
    EXPECT_TRUE(usb().events.empty());
}

TEST_F(ReaderTableTest, PortsFollowTheSystemsOrder) {
    usb().AddReader("first");
    usb().AddReader("second");
    EXPECT_EQ(Zelvorn_Open(1), 1);
    EXPECT_EQ(Zelvorn_Open(0), 0);
    EXPECT_EQ(Zelvorn_Open(2), ERR_OPEN_FAILED);
    EXPECT_EQ(usb().events, (Events{"open 1", "bind 1", "open 0", "bind 0"}));
    EXPECT_TRUE(usb().Reader(0).opened);
    EXPECT_TRUE(usb().Reader(1).opened);
}

TEST_F(ReaderTableTest, OpenSendsTheResetAndIgnoresItsOutcome) {
    struct Case {
        const char* name;
        std::function<void(FakeReader&)> arrange;
    };
    const std::vector<Case> cases{
        {"answered", [](FakeReader& r) { r.scriptedReplies.push_back(ReaderReply(0, {})); }},
        {"refused", [](FakeReader& r) { r.scriptedReplies.push_back(ReaderReply(0x8001, {})); }},
        {"control fails", [](FakeReader& r) { r.failControlAt = 0; }},
        {"read fails", [](FakeReader& r) { r.failReadAt = 0; }},
    };
    for (const Case& c : cases) {
        c.arrange(usb().AddReader());
        EXPECT_EQ(Zelvorn_Open(0), 0) << c.name;
        ASSERT_EQ(usb().controls.size(), 1u) << c.name;
        EXPECT_EQ(RequestBlockOf(usb().controls[0].data), Hex("E0 00 02 05 00")) << c.name;
        CloseAll();
        usb().Reset();
    }
}

TEST_F(ReaderTableTest, SecondOpenOfAnOpenPortSendsNothing) {
    OpenReader();
    EXPECT_EQ(Zelvorn_Open(0), 0);
    EXPECT_TRUE(usb().controls.empty());
    EXPECT_TRUE(usb().events.empty());
}

TEST_F(ReaderTableTest, OpenFailuresReleaseInReverseOrder) {
    struct Case {
        const char* name;
        std::function<void(FakeReader&)> arrange;
        int16_t result;
        Events events;
    };
    const std::vector<Case> cases{
        {"access denied",
         [](FakeReader& r) { r.openOutcome = OpenOutcome::AccessDenied; },
         ERR_DEVICE_BUSY,
         {"open 0"}},
        {"other open failure",
         [](FakeReader& r) { r.openOutcome = OpenOutcome::Failed; },
         ERR_OPEN_FAILED,
         {"open 0"}},
        {"bind fails",
         [](FakeReader& r) { r.bindOutcome = OpenOutcome::Failed; },
         ERR_OPEN_FAILED,
         {"open 0", "bind 0", "close 0"}},
        {"interface held elsewhere",
         [](FakeReader& r) { r.bindOutcome = OpenOutcome::AccessDenied; },
         ERR_DEVICE_BUSY,
         {"open 0", "bind 0", "close 0"}},
        {"settings unreadable",
         [](FakeReader& r) { r.settingsFail = true; },
         ERR_OPEN_FAILED,
         {"open 0", "bind 0", "release 0", "close 0"}},
        {"no endpoints",
         [](FakeReader& r) { r.pipes.clear(); },
         ERR_OPEN_FAILED,
         {"open 0", "bind 0", "release 0", "close 0"}},
        {"no interrupt in",
         [](FakeReader& r) {
             r.pipes = {{kPipeBulk, 0x81}, {kPipeInterrupt, 0x02}, {kPipeBulk, 0x83}};
         },
         ERR_OPEN_FAILED,
         {"open 0", "bind 0", "release 0", "close 0"}},
        {"interrupt in query fails",
         [](FakeReader& r) {
             r.pipes = {{kPipeInterrupt, 0x81}};
             r.pipeQueryFails = {true};
         },
         ERR_OPEN_FAILED,
         {"open 0", "bind 0", "release 0", "close 0"}},
    };
    for (const Case& c : cases) {
        FakeReader& r = usb().AddReader();
        c.arrange(r);
        EXPECT_EQ(Zelvorn_Open(0), c.result) << c.name;
        EXPECT_EQ(usb().events, c.events) << c.name;
        EXPECT_TRUE(usb().controls.empty()) << c.name;
        EXPECT_FALSE(r.opened || r.bound) << c.name;
        EXPECT_EQ(Zelvorn_Close(0), ERR_INVALID_HANDLE) << c.name;
        usb().Reset();
    }
}

TEST_F(ReaderTableTest, TheFirstInterruptInPipeIsUsed) {
    FakeReader& r = usb().AddReader();
    r.pipes = {
        {kPipeBulk, 0x82}, {kPipeInterrupt, 0x01}, {kPipeInterrupt, 0x84}, {kPipeInterrupt, 0x85}};
    r.pipeQueryFails = {false, false, false, false};
    r.scriptedReplies.push_back(ReaderReply(0, {}));
    ASSERT_EQ(Zelvorn_Open(0), 0);
    EXPECT_EQ(r.lastReadPipe, 0x84);
}

TEST_F(ReaderTableTest, CloseReleasesInterfaceThenFileAndOnlyOnce) {
    OpenReader();
    EXPECT_EQ(Zelvorn_Close(0), RESULT_OK);
    EXPECT_EQ(usb().events, (Events{"release 0", "close 0"}));
    EXPECT_TRUE(usb().controls.empty());  // nothing is sent on close
    EXPECT_EQ(Zelvorn_Close(0), ERR_INVALID_HANDLE);
    EXPECT_EQ(usb().events.size(), 2u);
}

TEST_F(ReaderTableTest, AClosedPortCanBeOpenedAgain) {
    OpenReader();
    ASSERT_EQ(Zelvorn_Close(0), RESULT_OK);
    EXPECT_EQ(Zelvorn_Open(0), 0);
    EXPECT_TRUE(usb().Reader(0).opened);
}

}  // namespace
}  // namespace zelvorn::testing
