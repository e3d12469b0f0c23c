// The tool's Type 2 module: dump files (raw image and proxmark3's mfu JSON),
// restore plans, and a tag whose every answer comes from the input (its
// GET_VERSION, page replies, ACK/NAK, PACK, counters, signature). The first
// byte picks which. A refusal must be a ToolError in words; what is read
// writes again the same, and pages handed out are exactly those asked for.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tool/errors.h"
#include "tool/type2/dump.h"
#include "tool/type2/tag.h"

using namespace zelvorn::tool;
using namespace zelvorn::tool::type2;

namespace {

// Answers as the input gives them: a byte whose bit 0 says whether the
// reader reported the tag silent, a length, then that many bytes (as many
// as are left).
class Answers {
public:
    Answers(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    Answer Next() {
        if (pos_ + 2 > size_) return {-11, {}};
        const bool silent = (data_[pos_] & 1) != 0;
        const std::size_t n = std::min<std::size_t>(data_[pos_ + 1], size_ - pos_ - 2);
        Answer a{silent ? std::int16_t{-11} : std::int16_t{0},
                 Bytes(data_ + pos_ + 2, data_ + pos_ + 2 + n)};
        pos_ += 2 + n;
        if (silent) a.data.clear();
        return a;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

void DriveTag(const std::uint8_t* data, std::size_t size) {
    Answers answers(data, size);
    Tag tag([&answers](std::span<const std::uint8_t>) { return answers.Next(); }, [] {});
    try {
        const auto& product = tag.Identify();
        if (product.pages == 0 || product.pages > 256) __builtin_trap();
        const std::size_t count = std::min<std::size_t>(product.pages, 60);
        if (tag.Read(0, count).size() != count * 4) __builtin_trap();
        tag.Authenticate({1, 2, 3, 4});
        const std::array<std::uint8_t, 4> page{1, 2, 3, 4};
        tag.Write(4, page);
        if (auto counter = tag.ReadCounter(2); counter && *counter > 0xFFFFFF) __builtin_trap();
        (void)tag.ReadSignature();
    } catch (const ToolError&) {
    }
}

void CheckFile(std::string_view text, DumpFormat format) {
    try {
        const Dump dump = ReadDump(text, format);
        for (DumpFormat out : {DumpFormat::Binary, DumpFormat::Json}) {
            if (ReadDump(WriteDump(dump, out), out).memory != dump.memory) __builtin_trap();
        }
        // A restore of the dump onto itself writes nothing.
        if (const auto* product = zelvorn::type2::ProductByPages(dump.memory.size() / 4)) {
            if (!PlanRestore(*product, dump.memory, dump.memory, true).writes.empty()) {
                __builtin_trap();
            }
        }
    } catch (const ToolError& e) {
        if (std::string_view(e.what()).find("[json.exception.") != std::string_view::npos &&
            text.find("json.exception") == std::string_view::npos) {
            __builtin_trap();
        }
    }
}

void CheckPlan(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return;
    const auto products = zelvorn::type2::Products();
    const auto& product = products[data[0] % products.size()];
    const bool flag = (data[1] & 1) != 0;
    const std::size_t bytes = product.pages * 4;
    // The tag's memory and the dump's from the input, zeros where it ends.
    Bytes tag(bytes), image(bytes);
    for (std::size_t i = 2; i < size; ++i) {
        const std::size_t at = (i - 2) / 2;
        if (at >= bytes) break;
        ((i % 2) == 0 ? tag : image)[at] = data[i];
    }
    try {
        const RestorePlan plan = PlanRestore(product, tag, image, flag);
        for (const PageWrite& w : plan.writes) {
            if (w.page < 2 || w.page >= product.pages) __builtin_trap();
            if (product.configPage != 0 && w.page >= product.configPage) __builtin_trap();
        }
    } catch (const ToolError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 4) {
        case 0:
            CheckFile(text, DumpFormat::Binary);
            break;
        case 1:
            CheckFile(text, DumpFormat::Json);
            break;
        case 2:
            DriveTag(data + 1, size - 1);
            break;
        default:
            CheckPlan(data + 1, size - 1);
            break;
    }
    return 0;
}
