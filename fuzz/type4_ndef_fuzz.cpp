// A Type 4 tag's answers from anywhere: the capability container, the NDEF
// file, any status word. Each answer is a length byte and that many bytes of
// the input. The flows must end (or refuse) without a command beyond the
// card's limits, and a message read is never longer than the file allows.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "tool/ndef/type4.h"

using namespace zelvorn::ndef;
using namespace zelvorn::ndef::type4;

namespace {

// The next answer of the input, empty once it runs out.
std::optional<std::span<const std::uint8_t>> NextAnswer(std::span<const std::uint8_t>& input) {
    if (input.empty()) return std::nullopt;
    const std::size_t n = std::min<std::size_t>(input[0], input.size() - 1);
    const auto answer = input.subspan(1, n);
    input = input.subspan(1 + n);
    return answer;
}

template <typename Flow>
void Run(Flow& flow, std::span<const std::uint8_t>& input) {
    for (int commands = 0;; ++commands) {
        const auto command = flow.Next();
        if (!command) return;
        if (commands > 1000) __builtin_trap();  // a flow that does not end
        if (command->size() < 5 || command->size() > 5 + kMaxShortData + 1) __builtin_trap();
        const auto answer = NextAnswer(input);
        if (!answer) return;
        flow.Answer(*answer);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> input(data, size);
    try {
        (void)ParseCapabilityContainer(input);
    } catch (const NdefError&) {
    }
    try {
        ReadFlow read;
        Run(read, input);
        if (read.Cc() && read.Message().size() > read.Cc()->Capacity()) __builtin_trap();
    } catch (const NdefError&) {
    }
    try {
        WriteFlow write(Bytes(size % 600, 0xA5));
        Run(write, input);
    } catch (const NdefError&) {
    }
    return 0;
}
