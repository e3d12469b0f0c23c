// Reader control: reset, status report, RF field, registers, EEPROM, user
// port, and the reader's refusals of commands it cannot carry out.
#include "virtual/tests/virtual_fixture.h"

namespace zelvorn::virt::testing {
namespace {

using ReaderControl = VirtualTest;

TEST_F(ReaderControl, ResetAnswersWithAnEmptyReply) {
    ASSERT_EQ(Run(0x05), RESULT_OK);
    EXPECT_EQ(reply, (Bytes{0x05, 0x00, 0x00, 0x00, 0x00}));
}

}  // namespace
}  // namespace zelvorn::virt::testing
