// Names of the virtual readers in reader.conf: "zelvorn-virtual:N", N the
// reader's port in the scenario (virtual/reader_bank.h).
#include <cstdio>
#include <cstring>

#include "pcsc/device.h"

namespace zelvorn::pcsc {

const char kDeviceVendor[] = "Zelvorn (virtual)";

RESPONSECODE Device_PathForName(const char* name, PathChar* path) {
    constexpr char kPrefix[] = "zelvorn-virtual:";
    if (name == nullptr || std::strncmp(name, kPrefix, sizeof kPrefix - 1) != 0) {
        return IFD_NO_SUCH_DEVICE;
    }
    unsigned port = 0;
    int consumed = 0;
    if (std::sscanf(name + sizeof kPrefix - 1, "%3u%n", &port, &consumed) != 1 ||
        name[sizeof kPrefix - 1 + static_cast<std::size_t>(consumed)] != 0) {
        return IFD_NO_SUCH_DEVICE;
    }
    return Device_PathForChannel(port, path);
}

}  // namespace zelvorn::pcsc
