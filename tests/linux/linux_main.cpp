// Runs the Linux platform tests inside their own mount namespace, where the
// emulated bus can write udev's database without touching the machine's,
// with umockdev's library preloaded to divert /sys and /dev to the testbed.
#include <limits.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/linux/fake_usb_bus.h"

namespace {

// Tells ctest that this machine cannot host the emulated bus.
constexpr int kSkipped = 77;
constexpr char kRelaunched[] = "ZELVORN_TEST_UNDER_UMOCKDEV";

bool Preloaded() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

// Starts this program again under umockdev-wrapper; returns only on failure.
void RelaunchUnderWrapper(int argc, char** argv) {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0 || std::getenv(kRelaunched) != nullptr) return;
    self[n] = 0;
    setenv(kRelaunched, "1", 1);
    // A sanitizer runtime wants to be loaded first; umockdev's library is.
    std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
    asan += (asan.empty() ? "" : ":") + std::string("verify_asan_link_order=0");
    setenv("ASAN_OPTIONS", asan.c_str(), 1);
    std::vector<char*> args{const_cast<char*>(ZELVORN_UMOCKDEV_WRAPPER), self};
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    execv(args[0], args.data());
}

}  // namespace

int main(int argc, char** argv) {
    bool listing = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--gtest_list_tests", 18) == 0) listing = true;
    }
    if (!listing) {
        if (!Preloaded()) {
            RelaunchUnderWrapper(argc, argv);
            std::fprintf(stderr, "cannot start under %s\n", ZELVORN_UMOCKDEV_WRAPPER);
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
