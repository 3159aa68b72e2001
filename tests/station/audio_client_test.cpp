// The audio class client bound by the PnP manager to the audio and microphone children by
// their compatible id: it binds as the jacks bring the children and lets go as they leave.
#include <gtest/gtest.h>

#include "station/bus/child_pdos.h"
#include "tests/station/audio_child_fixture.h"

namespace vorn::station::testing {
namespace {

class AudioClientTest : public AudioMachineTest {
 protected:
  bool BoundToClient(kernel::pnp::DevNode* node) {
    return node && kernel::pnp::Info(node).driver == client_->driver();
  }
  // Every started child the client is bound to has handed it a configured device, and only
  // those have.
  void ExpectDevicesOfStartedChildren() {
    size_t started = 0;
    for (kernel::pnp::DevNode* c : kernel::pnp::Children(node_))
      if (BoundToClient(c) && kernel::pnp::Info(c).state == kernel::pnp::NodeState::kStarted)
        ++started;
    std::lock_guard<std::mutex> guard(lock_);
    EXPECT_EQ(arrived_.size(), started);
    for (usb::AudioClassDevice* d : arrived_) {
      EXPECT_FALSE(d->streams().empty());
      EXPECT_FALSE(d->configuration().empty());
    }
  }
};

TEST_F(AudioClientTest, TheClientBindsAsTheJacksBringTheChildrenAndLetsGoAsTheyLeave) {
  AudioMachineOptions o;
  o.client = true;
  ASSERT_NO_FATAL_FAILURE(Start(o));
  StationExtension* s = Ext(node_);
  ASSERT_NE(s, nullptr);
  ASSERT_TRUE(WaitFor([&] { return Child(kAudioChildId) && Child(kMicChildId); }));
  kernel::pnp::WaitIdle();
  EXPECT_TRUE(BoundToClient(Child(kAudioChildId))) << "bound by the audio class compatible id";
  EXPECT_TRUE(BoundToClient(Child(kMicChildId)));
  ExpectDevicesOfStartedChildren();

  chip_->SetJackState(0x40);  // the headphone jack empties, the microphone stays
  ASSERT_TRUE(WaitFor([&] { return !ChildExists(s, kFunctionAudio); }));
  kernel::pnp::WaitIdle();
  EXPECT_EQ(Child(kAudioChildId), nullptr);
  EXPECT_TRUE(BoundToClient(Child(kMicChildId)));
  ExpectDevicesOfStartedChildren();

  chip_->SetJackState(0x41);
  ASSERT_TRUE(WaitFor([&] { return Child(kAudioChildId) != nullptr; }));
  kernel::pnp::WaitIdle();
  EXPECT_TRUE(BoundToClient(Child(kAudioChildId))) << "bound again";
  ExpectDevicesOfStartedChildren();

  chip_->SetJackState(0x01);  // now the microphone leaves
  ASSERT_TRUE(WaitFor([&] { return !ChildExists(s, kFunctionMicrophone); }));
  kernel::pnp::WaitIdle();
  EXPECT_EQ(Child(kMicChildId), nullptr);
  EXPECT_TRUE(BoundToClient(Child(kAudioChildId)));
  ExpectDevicesOfStartedChildren();
}

// The client opened on a child sees what a bound one would: its bus interface's clock runs.
TEST_F(AudioClientTest, TheClientReadsTheBusClockThroughTheChildsBusInterface) {
  ASSERT_NO_FATAL_FAILURE(Start());
  usb::AudioClassDevice* d = Open(kAudioChildId);
  ASSERT_NE(d, nullptr);
  ULONG first = 0, later = 0;
  ASSERT_EQ(d->QueryBusTime(&first), STATUS_SUCCESS);
  ASSERT_TRUE(WaitFor([&] { return NT_SUCCESS(d->QueryBusTime(&later)) && later > first; }))
      << "the frame clock moves";
}

}  // namespace
}  // namespace vorn::station::testing
