// A test fixture over the USB double: every test starts with no reader open
// and an empty double, and closes whatever it opened.
#pragma once

#include <gtest/gtest.h>

#include "tests/support/usb_double.h"
#include "zelvorn.h"

namespace zelvorn::testing {

class DoubleTest : public ::testing::Test {
protected:
    void SetUp() override {
        CloseAll();
        UsbDouble::Instance().Reset();
    }
    void TearDown() override {
        CloseAll();
        UsbDouble::Instance().Reset();
    }

    static void CloseAll() {
        for (int16_t h = 0; h < ZELVORN_MAX_READERS; ++h) Zelvorn_Close(h);
    }

    UsbDouble& usb() { return UsbDouble::Instance(); }

    // Adds one reader, opens it as port 0 (its reset goes unanswered) and
    // forgets the open's records, so a test sees only its own frames.
    FakeReader& OpenReader() {
        FakeReader& r = usb().AddReader();
        EXPECT_EQ(Zelvorn_Open(0), 0);
        usb().controls.clear();
        usb().events.clear();
        usb().starvedReads = 0;
        r.controlCount = 0;
        r.readCount = 0;
        return r;
    }

    // The RequestBlocks of every frame sent so far, decoded.
    std::vector<Bytes> SentBlocks() {
        std::vector<Bytes> out;
        for (const auto& c : usb().controls) out.push_back(RequestBlockOf(c.data));
        return out;
    }
};

}  // namespace zelvorn::testing
