// Routines whose modules are not part of this build fail loudly: a clear status and a line on
// the debugger output, never a silent success.
#include "platform/kernel/debug.h"
#include "platform/kernel/io.h"
#include "protocol/guids.h"
#include "station/kernel_utils.h"
#include "tests/station/station_machine.h"

namespace vorn::station::testing {
namespace {

class NotBuiltTest : public StationMachineTest {};

bool Reported(const char* routine) {
  for (const std::string& line : kernel::debug::Lines())
    if (line.find(routine) != std::string::npos && line.find("not built") != std::string::npos)
      return true;
  return false;
}

TEST_F(NotBuiltTest, TheStartArmsTheRomRepliesAndTheControlInterfaceOpens) {
  kernel::debug::Clear();
  Boot();
  chip::Chip chip(chip::MakeProfile({}));
  kernel::pnp::DevNode* node = Attach(chip);
  ASSERT_NE(node, nullptr);
  ASSERT_TRUE(WaitFor([] {
    return !kernel::interfaces::Enabled(protocol::kMainControlInterfaceGuid).empty();
  }));
  EXPECT_EQ(Steps(0x80, u"HalError"), std::vector<ULONG>{});
  EXPECT_FALSE(Reported("ArmRomReplies"));
  // The control interface itself is built: its handles open and close without a report.
  kernel::debug::Clear();
  WString path = kernel::interfaces::Enabled(protocol::kMainControlInterfaceGuid)[0];
  path[1] = u'\\';  // the user-mode spelling
  FILE_OBJECT* file = nullptr;
  ASSERT_EQ(kernel::io::Open(path, &file), STATUS_SUCCESS);
  kernel::io::Close(file);
  EXPECT_FALSE(Reported("DispatchCreate"));
  bus_.reset();
}

TEST(NotBuilt, ReturnsNotImplementedAndReportsTheRoutine) {
  kernel::debug::Clear();
  EXPECT_EQ(NotBuilt("SomeRoutine"), STATUS_NOT_IMPLEMENTED);
  EXPECT_TRUE(Reported("SomeRoutine"));
}

}  // namespace
}  // namespace vorn::station::testing
