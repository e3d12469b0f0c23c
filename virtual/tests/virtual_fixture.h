// Tests against the virtual reader through the library: each test starts with
// the scenario it names loaded and the reader open as handle 0.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "readers/reader_table.h"
#include "transport/transport.h"
#include "virtual/scenario.h"
#include "virtual/virtual_reader.h"
#include "zelvorn.h"

namespace zelvorn::virt::testing {

class VirtualTest : public ::testing::Test {
protected:
    void SetUp() override { Load(Scenario_Default()); }
    void TearDown() override { CloseAll(); }

    static void CloseAll() {
        for (int16_t h = 0; h < ZELVORN_MAX_READERS; ++h) Zelvorn_Close(h);
    }

    void Load(Scenario scenario) {
        CloseAll();
        VirtualReader::Instance().Load(std::move(scenario));
        ASSERT_EQ(Zelvorn_Open(0), 0);
    }

    VirtualReader& reader() { return VirtualReader::Instance(); }
    Firmware& device() { return VirtualReader::Instance().Device(); }

    // One command through the library's transport, for commands whose public
    // function is not needed or not there. Returns the transport's result;
    // the reply payload is in reply.
    std::int16_t Run(std::uint8_t command, const Bytes& data = {}) {
        const RequestBlock request = Request_Make(command, data.data(), data.size());
        return RunRequest(request);
    }
    std::int16_t RunRequest(const RequestBlock& request) {
        std::uint8_t m = 0;
        std::uint8_t buffer[kMaxReplyPayload] = {};
        const std::int16_t r =
            Transport_Exchange(*ReaderTable_Lookup(0), request, &m, buffer, sizeof buffer);
        reply.assign(buffer, buffer + (r == 0 ? m : 0));
        return r;
    }
    // Bytes 1 and 2 of the reply payload: the reader's status word.
    std::uint16_t Status() const {
        return reply.size() < 3 ? 0xDEAD : static_cast<std::uint16_t>(reply[1] << 8 | reply[2]);
    }
    // The data part of the reply, checked against the length it declares.
    Bytes Data() const {
        if (reply.size() < 5 || reply.size() != reply[4] + 5u) return {0xBA, 0xD0};
        return Bytes(reply.begin() + 5, reply.end());
    }
    // Runs a command and expects the reader to carry it out; returns its data.
    Bytes Ok(std::uint8_t command, const Bytes& data = {}) {
        EXPECT_EQ(Run(command, data), RESULT_OK);
        EXPECT_EQ(Status(), kStatusOk) << "command " << int(command);
        return Data();
    }
    // Runs a command and returns the reader status it ends with.
    std::uint16_t StatusOf(std::uint8_t command, const Bytes& data = {}) {
        EXPECT_EQ(Run(command, data), RESULT_OK);
        return Status();
    }

    Bytes reply;
};

inline Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes Repeat(std::uint8_t byte, std::size_t n) {
    return Bytes(n, byte);
}

}  // namespace zelvorn::virt::testing
