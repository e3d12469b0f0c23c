// Runs the Linux platform tests inside their own mount namespace, where the
// emulated bus can write udev's database without touching the machine's.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/linux/fake_usb_bus.h"

namespace {

// Tells ctest that this machine cannot host the emulated bus.
constexpr int kSkipped = 77;

}  // namespace

int main(int argc, char** argv) {
    bool listing = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--gtest_list_tests", 18) == 0) listing = true;
    }
    if (!listing) {
        const char* preload = std::getenv("LD_PRELOAD");
        if (preload == nullptr || std::strstr(preload, "libumockdev-preload") == nullptr) {
            std::fprintf(stderr, "run these tests under umockdev-wrapper\n");
            return 1;
        }
        // Before any thread starts: a namespace is entered by the whole
        // process only while it has a single thread.
        const std::string failure = zelvorn::linuxtest::FakeUsbBus::EnterPrivateNamespace();
        if (!failure.empty()) {
            std::fprintf(stderr, "cannot emulate a USB bus here: %s\n", failure.c_str());
            return kSkipped;
        }
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
