#include "tests/support/replay_platform.h"

#include <cstring>

namespace zelvorn::replay {
namespace {

// The platform handles only need to be distinct from null.
PlatformFile* const kFile = reinterpret_cast<PlatformFile*>(std::uintptr_t{0x10});
PlatformUsb* const kUsb = reinterpret_cast<PlatformUsb*>(std::uintptr_t{0x20});
constexpr std::uint8_t kPipe = 0x81;

struct State {
    Hooks hooks;
    bool present;
    std::uint8_t queue[kQueueCapacity];
    std::size_t head;  // next byte to deliver
    std::size_t tail;  // one past the last queued byte
    Counters counters;
};
State g_state{};

bool NoAnswer(const std::uint8_t*, std::size_t) {
    return true;
}
bool EightAtATime(std::uint32_t capacity, std::uint32_t* size) {
    *size = capacity < 8 ? capacity : 8;
    return true;
}

bool FindPath(PathChar* path, std::uint32_t index) {
    if (!g_state.present || index != 0) return false;
    const char name[] = "replay";
    for (std::size_t i = 0; i < sizeof name; ++i) path[i] = static_cast<PathChar>(name[i]);
    return true;
}

OpenOutcome OpenPath(const PathChar*, PlatformFile** file) {
    ++g_state.counters.opens;
    *file = kFile;
    return OpenOutcome::Ok;
}

OpenOutcome BindInterface(PlatformFile*, PlatformUsb** usb) {
    ++g_state.counters.binds;
    *usb = kUsb;
    return OpenOutcome::Ok;
}

bool QueryEndpointCount(PlatformUsb*, std::uint8_t* count) {
    *count = 1;
    return true;
}

bool QueryPipe(PlatformUsb*, std::uint8_t index, PipeInfo* pipe) {
    if (index != 0) return false;
    *pipe = PipeInfo{kPipeInterrupt, kPipe};
    return true;
}

bool ControlOut(PlatformUsb* usb, const SetupPacket& setup, const std::uint8_t* data) {
    ++g_state.counters.controls;
    if (usb != kUsb || !g_state.present) return false;
    return g_state.hooks.control(data, setup.length);
}

bool ReadPipe(PlatformUsb* usb, std::uint8_t pipeId, std::uint8_t* buffer, std::uint32_t capacity,
              std::uint32_t* received) {
    ++g_state.counters.reads;
    std::uint32_t size = 0;
    if (usb != kUsb || pipeId != kPipe || !g_state.present ||
        !g_state.hooks.read(capacity, &size)) {
        ++g_state.counters.failedReads;
        return false;
    }
    if (size > capacity) size = capacity;
    const std::size_t available = g_state.tail - g_state.head;
    // A real reader with nothing to say would block for ever; failing the
    // read instead keeps every scripted run finite.
    if (size > 0 && available == 0) {
        ++g_state.counters.failedReads;
        return false;
    }
    if (size > available) size = static_cast<std::uint32_t>(available);
    std::memcpy(buffer, g_state.queue + g_state.head, size);
    g_state.head += size;
    *received = size;
    return true;
}

void ReleaseInterface(PlatformUsb*) {
    ++g_state.counters.releases;
}
void CloseFile(PlatformFile*) {
    ++g_state.counters.closes;
}

const PlatformOps kOps{
    .findPath = FindPath,
    .openPath = OpenPath,
    .bindInterface = BindInterface,
    .queryEndpointCount = QueryEndpointCount,
    .queryPipe = QueryPipe,
    .controlOut = ControlOut,
    .readPipe = ReadPipe,
    .releaseInterface = ReleaseInterface,
    .closeFile = CloseFile,
};

}  // namespace

Hooks DefaultHooks() {
    return Hooks{NoAnswer, EightAtATime};
}

void Install(const Hooks& hooks) {
    g_state.hooks = hooks;
    g_state.present = true;
    g_state.head = g_state.tail = 0;
    g_state.counters = Counters{};
}

void SetPresent(bool present) {
    g_state.present = present;
}

void Queue(const std::uint8_t* bytes, std::size_t count) {
    if (g_state.head == g_state.tail) g_state.head = g_state.tail = 0;
    if (g_state.head > 0) {  // move what is waiting to the front to make room
        std::memmove(g_state.queue, g_state.queue + g_state.head, g_state.tail - g_state.head);
        g_state.tail -= g_state.head;
        g_state.head = 0;
    }
    const std::size_t room = kQueueCapacity - g_state.tail;
    if (count > room) count = room;
    std::memcpy(g_state.queue + g_state.tail, bytes, count);
    g_state.tail += count;
}

std::size_t Pending() {
    return g_state.tail - g_state.head;
}
void Drain() {
    g_state.head = g_state.tail = 0;
}
const Counters& Stats() {
    return g_state.counters;
}

}  // namespace zelvorn::replay

namespace zelvorn {
const PlatformOps& Platform_Default() {
    return replay::kOps;
}
}  // namespace zelvorn
