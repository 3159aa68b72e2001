// The control pipe of a started station against the chip model: the identity cache, the
// retry path, and what a gone device does to it and to later transfers.
#include <cstring>

#include "protocol/guids.h"
#include "protocol/vendor_request.h"
#include "tests/station/station_machine.h"

namespace vorn::station::testing {
namespace {

namespace pnp = kernel::pnp;
using chip::Chip;
using chip::ScriptAction;
using chip::ScriptKind;

constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
constexpr ULONG kOut = USBD_SHORT_TRANSFER_OK;

class ControlPipeTest : public StationMachineTest {
 protected:
  void Start() {
    Boot();
    node_ = Attach(chip_);
    ASSERT_NE(node_, nullptr);
    s_ = Ext(node_);
    ASSERT_NE(s_, nullptr);
    ASSERT_TRUE(WaitFor([] {
      return !kernel::interfaces::Enabled(protocol::kMainControlInterfaceGuid).empty();
    }));
    chip_.log().Clear();
  }
  NTSTATUS Send(ULONG flags, UCHAR request, USHORT value, USHORT index, ULONG length,
                void* buffer, LARGE_INTEGER* timeout = nullptr) {
    PipeOps& pipe = s_->Pipes[kControlPipe];
    transferred_ = 0xFFFFFFFF;
    usbd_ = 0xFFFFFFFF;
    return pipe.ControlTransfer(pipe.Object, flags, URB_FUNCTION_VENDOR_DEVICE, request, value,
                                index, length, buffer, &transferred_, timeout, &usbd_);
  }
  size_t Sent(UCHAR request) { return chip_.log().CountVendor(request); }

  Chip chip_{chip::MakeProfile({})};
  pnp::DevNode* node_ = nullptr;
  StationExtension* s_ = nullptr;
  ULONG transferred_ = 0, usbd_ = 0;
};

TEST_F(ControlPipeTest, AGoneDeviceAsksTheWorkerOnceAndLaterTransfersNeverReachTheBus) {
  Start();
  EXPECT_EQ(s_->DeviceGone, 0);
  chip_.script().OnRequest(protocol::ReqGetBrightness, ScriptAction{ScriptKind::kGone});
  UCHAR buffer[16] = {};
  EXPECT_EQ(Send(kIn, protocol::ReqGetBrightness, 0, 0, 1, buffer), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(usbd_, static_cast<ULONG>(USBD_STATUS_DEVICE_GONE));
  EXPECT_EQ(Sent(protocol::ReqGetBrightness), 1u);  // a gone device is not retried
  EXPECT_EQ(ReadFlag(s_->DeviceGone), 1);
  // The worker was kicked: it takes the control interface away and clears the request.
  EXPECT_TRUE(WaitFor([] {
    return kernel::interfaces::Enabled(protocol::kMainControlInterfaceGuid).empty();
  }));
  EXPECT_TRUE(WaitFor([&] { return ReadFlag(s_->InterfaceOffRequest) == 0; }));

  // Every later transfer, cached item or not, fails at once; none reaches the chip, which
  // logs every transfer it is given, connected or not.
  chip_.log().Clear();
  EXPECT_EQ(Send(kIn, protocol::ReqGetBrightness, 0, 0, 1, buffer), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(Send(kOut, protocol::ReqGetBrightness, 0, 0, 0, nullptr), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(Send(kIn, protocol::ReqReadDeviceValue, 0, 1, 4, buffer), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(chip_.log().VendorRequests().size(), 0u);
}

}  // namespace
}  // namespace vorn::station::testing
