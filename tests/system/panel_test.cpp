// An application on the panel library: it finds the two adapters present, hears of a third
// arriving, sets a brightness through one of them (the chip model sees the vendor request),
// and hears of each removal, a surprise one and an orderly one.
#include "protocol/vendor_request.h"
#include "tests/panelapi/glimden_fixture.h"

namespace vorn::panelapi::testing {
namespace {

class PanelSystemTest : public GlimdenTest {};

TEST_F(PanelSystemTest, AnApplicationFindsAdaptersFollowsThemAndSetsBrightness) {
  const int first = machine_.Attach(kPanelProduct, u"3&1");
  const int second = machine_.Attach(kPanelProductWide, u"3&2");
  ASSERT_EQ(Start(), S_OK);
  ASSERT_TRUE(CountReaches(2));
  const std::vector<HANDLE> present = Handles();
  ASSERT_EQ(present.size(), 2u);

  const int third = machine_.Attach(kPanelProduct, u"3&3");
  ASSERT_TRUE(CountReaches(3));
  HANDLE arrived = PFN_OP_Get_Device_HWND(2, nullptr);
  ASSERT_NE(arrived, nullptr);
  ASSERT_TRUE(Eventually([&] { return Notices::Get().Arrivals(arrived).size() == 1; }));

  // Brightness through the second adapter's handle reaches its chip, and only that one.
  machine_.Adapter(second).log().Clear();
  EXPECT_EQ(PFN_OP_Set_Brightness_Value(present[1], 80), S_OK);
  const auto requests = machine_.Adapter(second).log().VendorRequests();
  const auto it = std::find_if(requests.begin(), requests.end(), [](const chip::LoggedRequest& r) {
    return r.setup.bRequest == protocol::ReqSetBrightness;
  });
  ASSERT_NE(it, requests.end());
  EXPECT_EQ(it->setup.bmRequestType, protocol::kVendorRequestTypeIn);
  EXPECT_EQ(it->setup.wValue, 80);
  EXPECT_EQ(it->setup.wIndex, 0);
  EXPECT_EQ(it->setup.wLength, 0);
  EXPECT_EQ(it->status, usb::TransferStatus::kSuccess);
  EXPECT_EQ(machine_.Adapter(second).panel().State().brightness, 80);
  EXPECT_EQ(machine_.Adapter(first).log().CountVendor(protocol::ReqSetBrightness), 0u);
  EXPECT_EQ(Traced("IOCTL_Set_Brightness_Value - fRet:0x1 "), 1u);

  machine_.Unplug(first);
  ASSERT_TRUE(Eventually([&] { return Notices::Get().Removals(present[0]).size() == 1; }));
  EXPECT_EQ(machine_.Remove(third), 0);
  EXPECT_EQ(Notices::Get().Removals(arrived).size(), 1u);
  EXPECT_EQ(Notices::Get().Removals(present[1]).size(), 0u);
  EXPECT_EQ(PFN_OP_Get_Device_Count(), 1u);
  EXPECT_EQ(PFN_OP_Set_Brightness_Value(present[1], 20), S_OK);
}

}  // namespace
}  // namespace vorn::panelapi::testing
