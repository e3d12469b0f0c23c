#include "readers/reader_table.h"

namespace zelvorn {
namespace {

ReaderContext* g_readers[kReaderSlots];

}  // namespace

ReaderContext* ReaderTable_Lookup(std::int16_t handle) {
    return Handle_InRange(handle) ? g_readers[static_cast<std::uint16_t>(handle)] : nullptr;
}

void ReaderTable_Store(std::int16_t handle, ReaderContext* reader) {
    g_readers[static_cast<std::uint16_t>(handle)] = reader;
}

ReaderContext* ReaderTable_Remove(std::int16_t handle) {
    ReaderContext* reader = ReaderTable_Lookup(handle);
    if (reader != nullptr) g_readers[static_cast<std::uint16_t>(handle)] = nullptr;
    return reader;
}

}  // namespace zelvorn
