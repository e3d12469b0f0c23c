// NDEF messages from anywhere (a tag, a file, another program): decoding
// never reads past the input and either refuses it with an NdefError or
// gives records that encode and decode to themselves.
#include <cstddef>
#include <cstdint>
#include <span>

#include "tool/ndef/records.h"

using namespace zelvorn::ndef;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    try {
        const std::vector<Record> records = DecodeMessage(input);
        if (DecodeMessage(EncodeMessage(records)) != records) __builtin_trap();
    } catch (const NdefError&) {
    }
    std::vector<TypedRecord> typed;
    try {
        typed = DecodeTyped(input);
    } catch (const NdefError&) {
        return 0;
    }
    // What was read must write, and read back the same.
    const Bytes encoded = EncodeTyped(typed);
    if (DecodeTyped(encoded) != typed) __builtin_trap();
    for (const TypedRecord& r : typed) (void)Describe(r);
    return 0;
}
