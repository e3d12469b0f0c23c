// The virtual reader as a USB device behind the platform interface: it takes
// command frames from control transfers, hands them to the firmware, and
// delivers each reply frame through interrupt reads, 8 bytes at a time unless
// told otherwise. Faults of the wire and of the device are injected on demand.
//
// Like the library, it is meant for one thread at a time.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "platform/platform.h"
#include "virtual/firmware.h"

namespace zelvorn::virt {

struct Scenario;

// Ways the reader's answers can go wrong on the wire.
struct WireFaults {
    // Sizes of successive interrupt reads, used in turn and repeated; 0 makes
    // an empty read. A read never delivers more than the host asks for.
    std::vector<std::uint32_t> chunkSizes{8};
    bool lowerCaseHex = false;             // reply digits a-f instead of A-F
    unsigned corruptChecksums = 0;         // so many next replies carry a wrong checksum
    unsigned refuseCommands = 0;           // so many next commands are not taken ...
    std::uint16_t refusalStatus = 0x6F00;  // ... and answered with this transport status
    bool endlessReply = false;             // replies start and never end (no ETX)
    // Replies to these command codes lose their last data byte, which their
    // data length still counts: a reader that answers with the wrong length.
    std::vector<std::uint8_t> shortReplies;
};

class VirtualReader {
public:
    static VirtualReader& Instance();
    // A reader of its own with the default scenario, for platforms that
    // present several readers (virtual/reader_bank.h).
    VirtualReader();

    // Replaces the reader and its cards with those of the scenario; the reader
    // is plugged in, powered on, closed, and every fault is cleared.
    void Load(Scenario scenario);

    Firmware& Device() { return *firmware_; }
    WireFaults& Faults() { return faults_; }

    // Pulling the plug fails every transfer on handles opened before; plugging
    // in again powers the reader on (its EEPROM and keys survive).
    void Unplug();
    void Plug();
    bool Plugged() const { return plugged_; }

    // Statistics for tests.
    unsigned CommandFrames() const { return commandFrames_; }
    unsigned InterruptReads() const { return interruptReads_; }
    const std::vector<std::uint8_t>& LastCommandFrame() const { return lastFrame_; }

    // Platform entry points (see platform/platform.h).
    bool FindPath(PathChar* path, std::uint32_t index) const;
    OpenOutcome OpenPath(const PathChar* path, PlatformFile** file);
    OpenOutcome BindInterface(PlatformFile* file, PlatformUsb** usb);
    bool QueryEndpointCount(PlatformUsb* usb, std::uint8_t* count) const;
    bool QueryPipe(PlatformUsb* usb, std::uint8_t endpointIndex, PipeInfo* pipe) const;
    bool ControlOut(PlatformUsb* usb, const SetupPacket& setup, const std::uint8_t* data);
    bool ReadPipe(PlatformUsb* usb, std::uint8_t pipeId, std::uint8_t* buffer,
                  std::uint32_t capacity, std::uint32_t* received);
    void ReleaseInterface(PlatformUsb* usb);
    void CloseFile(PlatformFile* file);

private:
    bool Current(const void* handle) const;
    void QueueReply(std::uint16_t transportStatus, const Bytes& payload);
    void CutIfAsked(const std::uint8_t* frame, std::size_t length, Bytes& payload) const;

    std::unique_ptr<Firmware> firmware_;
    WireFaults faults_;
    bool plugged_ = true;
    bool opened_ = false;
    // Handles name the plug-in session they were opened in, so a handle from
    // before an unplug stays dead after the reader comes back.
    std::uintptr_t session_ = 1;
    std::deque<std::uint8_t> pending_;
    bool streaming_ = false;
    std::size_t nextChunk_ = 0;
    unsigned commandFrames_ = 0;
    unsigned interruptReads_ = 0;
    std::vector<std::uint8_t> lastFrame_;
};

// The interrupt-IN endpoint the reader answers on.
constexpr std::uint8_t kVirtualInterruptPipe = 0x81;
// The virtual reader's device path.
constexpr char kVirtualReaderPath[] = "virtual:zelvorn-reader-0";

}  // namespace zelvorn::virt

namespace zelvorn {
// The platform operations of the virtual reader.
const PlatformOps& VirtualReader_Ops();
}  // namespace zelvorn
