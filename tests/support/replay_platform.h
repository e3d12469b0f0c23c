// An allocation-free stand-in for the reader's USB device.
//
// The USB double of the unit tests is the better tool for scripting, but it
// keeps its records in growing containers, so it cannot take part in a run
// that counts heap allocations or that executes millions of times. This one
// keeps everything in fixed static storage: one reader at port 0, a queue of
// bytes the interrupt pipe delivers, and two hooks through which a test or a
// fuzz target decides how each control transfer and each read goes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace zelvorn::replay {

// Bytes that can wait in the pipe; what does not fit is dropped, as a real
// endpoint would lose it.
constexpr std::size_t kQueueCapacity = 16384;

struct Hooks {
    // Sees every command frame sent. Queues the reader's answer with Queue()
    // and returns false to make the transfer itself fail.
    bool (*control)(const std::uint8_t* frame, std::size_t length);
    // Chooses how many bytes the next read delivers (at most capacity; 0 is
    // an empty read) and returns false to make the read fail.
    bool (*read)(std::uint32_t capacity, std::uint32_t* size);
};

// Hooks that answer nothing and read 8 bytes at a time.
Hooks DefaultHooks();

// Installs the hooks, empties the queue, forgets every count and shows one
// reader (the library's table is not touched).
void Install(const Hooks& hooks);

// Whether a reader is present at all (findPath finds nothing otherwise).
void SetPresent(bool present);

void Queue(const std::uint8_t* bytes, std::size_t count);
std::size_t Pending();
void Drain();

struct Counters {
    std::uint32_t controls;
    std::uint32_t reads;
    std::uint32_t failedReads;  // reads the hook failed or that found the pipe empty
    std::uint32_t opens;
    std::uint32_t closes;
    std::uint32_t binds;
    std::uint32_t releases;
};
const Counters& Stats();

}  // namespace zelvorn::replay
