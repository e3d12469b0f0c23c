// The Linux platform end to end: libzelvorn.so as it ships, through its
// exported functions; real libudev finds the readers, real libusb drives
// them, and an emulated bus (umockdev) answers as the kernel would.
#include <dirent.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <thread>

#include "tests/linux/fake_usb_bus.h"
#include "tests/support/frame_codec.h"
#include "zelvorn.h"

namespace zelvorn::linuxtest {
namespace {

using Events = std::vector<std::string>;

Bytes Frame(const std::string& text) {
    Bytes frame(text.size() + 2);
    frame.front() = 0x02;
    for (std::size_t i = 0; i < text.size(); ++i) frame[i + 1] = static_cast<std::uint8_t>(text[i]);
    frame.back() = 0x03;
    return frame;
}

using testing::ReplyFrame;

const Bytes kResetFrame = Frame("01E0020500E6");
const Bytes kResetReply = ReplyFrame({0x00, 0x00, 0x00, 0x00, 0x00});  // 22 characters

// Answers every frame with the same reply, as a reader would its reset.
std::function<bool(const Bytes&, Bytes&)> AlwaysAnswer(const Bytes& reply) {
    return [reply](const Bytes&, Bytes& out) {
        out = reply;
        return true;
    };
}

// How many of the process's descriptors refer to the device node.
std::size_t DescriptorsOn(const FakeUsbDevice& device) {
    std::size_t count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return 0;
    const int own = dirfd(dir);
    const std::string& node = device.devnode();
    while (const dirent* entry = readdir(dir)) {
        char target[512];
        const ssize_t n = readlinkat(own, entry->d_name, target, sizeof target - 1);
        if (n <= 0) continue;
        const std::string path(target, static_cast<std::size_t>(n));
        if (path.size() >= node.size() &&
            path.compare(path.size() - node.size(), node.size(), node) == 0) {
            ++count;
        }
    }
    closedir(dir);
    return count;
}

// Ends the process when a call that must return does not: a transfer
// without time-out that nobody completes would otherwise hang the run.
class Watchdog {
public:
    Watchdog(const char* what, std::chrono::seconds limit)
        : thread_([this, what, limit] {
              if (!WaitUntil([this] { return done_.load(); }, limit)) {
                  std::fprintf(stderr, "watchdog: %s did not return\n", what);
                  std::fflush(stderr);
                  _exit(3);
              }
          }) {}
    ~Watchdog() {
        done_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

class LinuxPlatformTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (int16_t h = 0; h < ZELVORN_MAX_READERS; ++h) Zelvorn_Close(h);
        bus().RemoveAll();
    }

    FakeUsbBus& bus() { return FakeUsbBus::Instance(); }

    // A device that answers its reset, as every reader does.
    FakeUsbDevice& AddReader(int port, bool tagged = true,
                             Bytes descriptors = ReaderDescriptors()) {
        FakeUsbDevice& d = bus().Add(port, tagged, std::move(descriptors));
        d.SetResponder(AlwaysAnswer(kResetReply));
        return d;
    }
};

TEST_F(LinuxPlatformTest, PortsCountPresentTaggedDevicesInUdevOrder) {
    // Added out of order: udev lists by device path, 1-3 before 1-4.
    FakeUsbDevice& second = AddReader(4);
    FakeUsbDevice& untagged = AddReader(2, false);
    FakeUsbDevice& first = AddReader(3);
    // A tag left behind by a device that is gone takes no port.
    std::ofstream(std::string("/run/udev/tags/") + ZELVORN_UDEV_TAG + "/c189:99").flush();

    EXPECT_EQ(Zelvorn_Open(1), 1);
    EXPECT_EQ(second.Controls().size(), 1u);
    EXPECT_TRUE(first.Controls().empty());
    EXPECT_EQ(Zelvorn_Open(0), 0);
    EXPECT_EQ(first.Controls().size(), 1u);
    EXPECT_EQ(Zelvorn_Open(2), ERR_OPEN_FAILED);

    EXPECT_TRUE(untagged.Controls().empty());
    EXPECT_TRUE(untagged.Events().empty());
    EXPECT_EQ(first.Events(), (Events{"claim 0"}));
    EXPECT_EQ(second.Events(), (Events{"claim 0"}));
}

TEST_F(LinuxPlatformTest, NoTaggedDeviceMeansNoReader) {
    FakeUsbDevice& untagged = AddReader(1, false);
    EXPECT_EQ(Zelvorn_Open(0), ERR_OPEN_FAILED);
    EXPECT_TRUE(untagged.Events().empty());
}

TEST_F(LinuxPlatformTest, OpenSendsTheResetAndReadsTheReplyInEightByteUrbs) {
    FakeUsbDevice& reader = AddReader(1);
    ASSERT_EQ(Zelvorn_Open(0), 0);

    const auto controls = reader.Controls();
    ASSERT_EQ(controls.size(), 1u);
    EXPECT_EQ(controls[0].requestType, 0x40);
    EXPECT_EQ(controls[0].request, 0);
    EXPECT_EQ(controls[0].value, 0);
    EXPECT_EQ(controls[0].index, 0);
    EXPECT_EQ(controls[0].data, kResetFrame);
    EXPECT_EQ(reader.RequestedReadLengths(), (std::vector<std::size_t>{8, 8, 8}));
    EXPECT_EQ(reader.CompletedReadLengths(), (std::vector<std::size_t>{8, 8, 6}));
}

TEST_F(LinuxPlatformTest, CloseReleasesTheInterfaceAndTheNode) {
    FakeUsbDevice& reader = AddReader(1);
    ASSERT_EQ(Zelvorn_Open(0), 0);
    EXPECT_EQ(DescriptorsOn(reader), 1u);
    EXPECT_EQ(Zelvorn_Close(0), RESULT_OK);
    EXPECT_EQ(reader.Events(), (Events{"claim 0", "release 0"}));
    EXPECT_EQ(DescriptorsOn(reader), 0u);
    EXPECT_EQ(reader.Controls().size(), 1u);  // nothing is sent on close

    // The same reader opens again.
    EXPECT_EQ(Zelvorn_Open(0), 0);
    EXPECT_EQ(reader.Events(), (Events{"claim 0", "release 0", "claim 0"}));
}

TEST_F(LinuxPlatformTest, FailedOpensGiveTheirResultAndReleaseEverything) {
    struct Case {
        const char* name;
        std::function<void(FakeUsbBus&, FakeUsbDevice&)> arrange;
        Bytes descriptors;
        int16_t result;
        Events events;
    };
    const Bytes standard = ReaderDescriptors();
    const std::vector<Case> cases{
        {"node missing",
         [](FakeUsbBus& b, FakeUsbDevice& d) { b.BreakNode(d); },
         standard,
         ERR_OPEN_FAILED,
         {}},
        {"node not accessible",
         [](FakeUsbBus& b, FakeUsbDevice& d) { b.ChmodNode(d, 0); },
         standard,
         ERR_DEVICE_BUSY,
         {}},
        {"interface claimed by another program",
         [](FakeUsbBus&, FakeUsbDevice& d) { d.SetClaimErrno(EBUSY); },
         standard,
         ERR_DEVICE_BUSY,
         {"claim 0 refused"}},
        {"another program's claim is not a kernel driver",
         [](FakeUsbBus&, FakeUsbDevice& d) {
             d.SetKernelDriver("usbfs");
             d.SetClaimErrno(EBUSY);
         },
         standard,
         ERR_DEVICE_BUSY,
         {"claim 0 refused"}},
        {"claim fails otherwise",
         [](FakeUsbBus&, FakeUsbDevice& d) { d.SetClaimErrno(EPROTO); },
         standard,
         ERR_OPEN_FAILED,
         {"claim 0 refused"}},
        {"no endpoints", nullptr, ReaderDescriptors({}), ERR_OPEN_FAILED, {"claim 0", "release 0"}},
        {"no interrupt-in endpoint",
         nullptr,
         ReaderDescriptors({{0x81, 0x02}, {0x02, 0x03}}),
         ERR_OPEN_FAILED,
         {"claim 0", "release 0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeUsbDevice& reader = AddReader(1, true, c.descriptors);
        if (c.arrange) c.arrange(bus(), reader);
        {
            WithoutPermissionOverride asUser;
            ASSERT_TRUE(asUser.ok());
            EXPECT_EQ(Zelvorn_Open(0), c.result);
        }
        EXPECT_EQ(reader.Events(), c.events);
        EXPECT_TRUE(reader.Controls().empty());
        EXPECT_EQ(DescriptorsOn(reader), 0u);
        EXPECT_EQ(Zelvorn_Close(0), ERR_INVALID_HANDLE);
        bus().RemoveAll();
    }
}

TEST_F(LinuxPlatformTest, ABoundKernelDriverIsMovedAsideAndGivenBack) {
    FakeUsbDevice& reader = AddReader(1);
    reader.SetKernelDriver("usbhid");
    ASSERT_EQ(Zelvorn_Open(0), 0);
    EXPECT_EQ(reader.Events(), (Events{"detach 0", "claim 0"}));
    ASSERT_EQ(Zelvorn_Close(0), RESULT_OK);
    EXPECT_EQ(reader.Events(), (Events{"detach 0", "claim 0", "release 0", "attach 0"}));
}

TEST_F(LinuxPlatformTest, AFullExchangeRunsThroughLibusb) {
    // Read register 5: the reader answers with its value, 0xAB.
    const Bytes request = Frame("01E003190105FF");
    const Bytes payload{0x00, 0x00, 0x00, 0x00, 0x01, 0xAB};
    for (std::size_t packetSize : {8u, 3u, 1u}) {
        SCOPED_TRACE(packetSize);
        FakeUsbDevice& reader = AddReader(1);
        ASSERT_EQ(Zelvorn_Open(0), 0);
        reader.SetPacketSize(packetSize);
        reader.SetResponder([&](const Bytes& frame, Bytes& reply) {
            if (frame != request) return false;
            reply = ReplyFrame(payload);
            return true;
        });
        std::uint8_t value = 0;
        {
            Watchdog watchdog("the exchange", std::chrono::seconds(10));
            EXPECT_EQ(Zelvorn_ReadRC500Reg(0, 5, &value), RESULT_OK);
        }
        EXPECT_EQ(value, 0xAB);
        const auto controls = reader.Controls();
        ASSERT_EQ(controls.size(), 2u);
        EXPECT_EQ(controls[1].data, request);
        // 24 characters: STX, 22 digits, ETX.
        const auto reads = reader.CompletedReadLengths();
        std::size_t total = 0;
        for (std::size_t i = 3; i < reads.size(); ++i) {
            EXPECT_LE(reads[i], packetSize);
            total += reads[i];
        }
        EXPECT_EQ(total, 24u);
        EXPECT_EQ(Zelvorn_Close(0), RESULT_OK);
        bus().RemoveAll();
    }
}

TEST_F(LinuxPlatformTest, UnplugMidExchangeFailsTheCallAndLaterCallsReturn) {
    FakeUsbDevice& reader = AddReader(1);
    ASSERT_EQ(Zelvorn_Open(0), 0);
    // The reader sends the first eight characters of its reply and is then
    // pulled out while the library waits for the rest.
    const Bytes reply = ReplyFrame({0x00, 0x00, 0x00, 0x00, 0x01, 0xAB});
    reader.SetResponder([&](const Bytes&, Bytes& out) {
        out.assign(reply.begin(), reply.begin() + 8);
        return true;
    });
    const std::size_t readsBefore = reader.CompletedReadLengths().size();

    std::uint8_t value = 0;
    std::int16_t result = 0;
    {
        Watchdog watchdog("the exchange interrupted by the unplug", std::chrono::seconds(10));
        std::thread call([&] { result = Zelvorn_ReadRC500Reg(0, 5, &value); });
        const bool waiting = WaitUntil([&] {
            return reader.CompletedReadLengths().size() == readsBefore + 1 &&
                   reader.ReadsInFlight() == 1;
        });
        reader.Unplug();
        call.join();
        ASSERT_TRUE(waiting);
    }
    EXPECT_EQ(result, ERR_FAILURE);

    {
        Watchdog watchdog("the call after the unplug", std::chrono::seconds(10));
        EXPECT_EQ(Zelvorn_ReadRC500Reg(0, 5, &value), ERR_FAILURE);
        EXPECT_EQ(Zelvorn_Close(0), RESULT_OK);
    }
    EXPECT_EQ(reader.Events(), (Events{"claim 0", "release 0"}));

    // Gone from the bus, it is no longer found.
    bus().Remove(reader);
    EXPECT_EQ(Zelvorn_Open(0), ERR_OPEN_FAILED);
}

}  // namespace
}  // namespace zelvorn::linuxtest
