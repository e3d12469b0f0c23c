// Links the reader bank in as the platform of a build, loaded on first use
// from the environment (virtual/reader_bank.h): the PC/SC driver's virtual
// build, whose readers and cards come from pcscd's environment.
#include "virtual/reader_bank.h"

namespace zelvorn {

const PlatformOps& Platform_Default() {
    static const bool loaded = [] {
        virt::ReaderBank::Instance().LoadFromEnvironment();
        return true;
    }();
    (void)loaded;
    return ReaderBank_Ops();
}

}  // namespace zelvorn
