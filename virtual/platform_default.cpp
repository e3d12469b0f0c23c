// Links the virtual reader in as the platform of a build: the test program of
// the virtual reader and the library build that runs on emulated cards.
#include "virtual/virtual_reader.h"

namespace zelvorn {

const PlatformOps& Platform_Default() {
    return VirtualReader_Ops();
}

}  // namespace zelvorn
