// Outputs the library really wrote. Its exported functions succeed without
// writing their outputs when the reader's reply is not as long as the
// command's (their documented contract); through the public interface that
// shows only as outputs left as they were. Whatever the tool prints or saves
// must come from the reader, so its reads go through ReadWritten.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "tool/errors.h"

namespace zelvorn::tool {

namespace written_detail {

// The outputs start filled with one pattern. Where every checked byte still
// holds it after a success, the read is made once more over another pattern
// (a reader's data may equal the first, never both): bytes that hold their
// pattern both times were never written, and the result is kReplyIncomplete.
template <typename Call, typename Checked>
std::int16_t Run(std::initializer_list<std::span<std::uint8_t>> outputs, Call& call,
                 Checked& checked) {
    const auto fill = [&outputs](std::uint8_t pattern) {
        for (const std::span<std::uint8_t>& out : outputs) {
            std::fill(out.begin(), out.end(), pattern);
        }
    };
    const auto untouched = [&checked](std::uint8_t pattern) {
        for (const std::span<std::uint8_t>& out : checked()) {
            if (!std::all_of(out.begin(), out.end(),
                             [pattern](std::uint8_t b) { return b == pattern; })) {
                return false;
            }
        }
        return true;
    };
    // The first pattern is MarkUnwritten's.
    constexpr std::uint8_t kFirst = 0xA5, kSecond = 0x5A;
    fill(kFirst);
    std::int16_t result = call();
    if (result != RESULT_OK || !untouched(kFirst)) return result;
    fill(kSecond);
    result = call();
    if (result == RESULT_OK && untouched(kSecond)) return kReplyIncomplete;
    return result;
}

}  // namespace written_detail

// A read into fixed outputs. Only for calls that change nothing, since the
// second one repeats the command.
template <typename Call>
std::int16_t ReadWritten(std::initializer_list<std::span<std::uint8_t>> outputs, Call&& call) {
    const auto all = [&outputs]() -> const auto& {
        return outputs;
    };
    return written_detail::Run(outputs, call, all);
}

// A read that tells how many bytes of buffer it delivered (in delivered):
// only those are checked; nothing delivered is nothing to check.
template <typename Call>
std::int16_t ReadWrittenUpTo(std::span<std::uint8_t> buffer, const std::uint8_t& delivered,
                             Call&& call) {
    const auto prefix = [&buffer, &delivered] {
        return std::array<std::span<std::uint8_t>, 1>{
            buffer.first(std::min<std::size_t>(delivered, buffer.size()))};
    };
    return written_detail::Run({buffer}, call, prefix);
}

// For a call that cannot be repeated (it changes the card): the output
// starts filled with the first pattern, and still holding it after a success
// means it may never have been written; the caller then reads what it needs
// another way.
inline void MarkUnwritten(std::span<std::uint8_t> output) {
    std::fill(output.begin(), output.end(), std::uint8_t{0xA5});
}
inline bool StillUnwritten(std::span<const std::uint8_t> output) {
    return std::all_of(output.begin(), output.end(), [](std::uint8_t b) { return b == 0xA5; });
}

// A value output, as bytes.
template <typename T>
std::span<std::uint8_t> AsBytes(T& value) {
    return {reinterpret_cast<std::uint8_t*>(&value), sizeof value};
}

}  // namespace zelvorn::tool
