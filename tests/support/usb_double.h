// A scriptable stand-in for the reader's USB device, behind the platform
// interface. It records every control transfer, serves scripted reply frames
// in chosen chunk sizes, injects failures, and can present several readers
// with their own open outcomes and pipe layouts.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/support/frame_codec.h"

namespace zelvorn::testing {

struct ControlRecord {
    int reader;  // index of the reader in the double
    SetupPacket setup;
    Bytes data;
};

struct FakeReader {
    std::string path;
    OpenOutcome openOutcome = OpenOutcome::Ok;
    OpenOutcome bindOutcome = OpenOutcome::Ok;
    bool settingsFail = false;
    std::vector<PipeInfo> pipes{{kPipeInterrupt, 0x81}};
    std::vector<bool> pipeQueryFails;  // by endpoint index

    // Bytes waiting to be delivered by interrupt reads.
    std::deque<std::uint8_t> pending;
    // Reply frames handed out one per control transfer, in order.
    std::deque<Bytes> scriptedReplies;
    // Computes the reply frame to a command frame instead of the script
    // (used for scripted cards); returns false for "no reply".
    std::function<bool(const Bytes& frame, Bytes& reply)> responder;

    // Read sizes, cycled; 0 makes an empty read.
    std::vector<std::uint32_t> chunkSizes{8};
    std::size_t nextChunk = 0;
    // Every read reports so many bytes more than it delivered.
    std::uint32_t overReport = 0;

    // Counts of operations; a failure is injected when the count reaches the
    // number given (counting from 0), -1 for none.
    int controlCount = 0;
    int readCount = 0;
    int failControlAt = -1;
    int failReadAt = -1;
    // The reader is pulled out when the count reaches the number given: that
    // transfer and every later one fail until the test plugs it back in.
    int unplugAtControl = -1;
    int unplugAtRead = -1;
    bool unplugged = false;
    std::uint8_t lastReadPipe = 0;
    bool opened = false;
    bool bound = false;
};

class UsbDouble {
public:
    static UsbDouble& Instance();

    // Forgets every reader and every record; closes nothing in the library.
    void Reset();

    FakeReader& AddReader(const std::string& path = "");
    FakeReader& Reader(int index) { return readers_.at(static_cast<std::size_t>(index)); }
    std::size_t ReaderCount() const { return readers_.size(); }

    // Every control transfer so far, all readers.
    std::vector<ControlRecord> controls;
    // Platform calls in order, for example "open 0", "bind 0", "release 0", "close 0".
    std::vector<std::string> events;
    // Reads that found nothing scripted: the double fails them rather than
    // blocking forever as a silent reader would.
    int starvedReads = 0;

    const PlatformOps& Ops() const;

private:
    std::deque<FakeReader> readers_;
};

}  // namespace zelvorn::testing
