// One open reader as the layers below the command functions see it.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace zelvorn {

// The platform handles of an open reader and the interrupt pipe its replies
// arrive on. Owned by its slot of the reader table from Zelvorn_Open to
// Zelvorn_Close; the transport drives it without knowing the table.
struct ReaderContext {
    PlatformFile* file;
    PlatformUsb* usb;
    std::uint8_t pipeId;
    // The last exchange's transfers failed: the reader is unplugged or gone,
    // as opposed to having answered badly.
    bool linkFailed = false;
};

}  // namespace zelvorn
