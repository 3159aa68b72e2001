// The station services a function module is given: each reaches the pipe it names, on the
// child's own channel, through the child's parent station; a null child or a wrong endpoint
// code reaches nothing.
#include <gtest/gtest.h>

#include <vector>

#include "protocol/bus_message.h"
#include "station/bus/child_pdo_extension.h"
#include "station/bus/station_services.h"
#include "station/station_start.h"
#include "tests/station/pipe_machine.h"

namespace vorn::station::testing {
namespace {

struct Writes {
  static void Routine(PVOID context, IRP*, ULONG, ULONG, ULONG data_bytes, NTSTATUS status,
                      ULONG) {
    auto* self = static_cast<Writes*>(context);
    self->bytes = data_bytes;
    __atomic_store_n(&self->status, status, __ATOMIC_SEQ_CST);
  }
  NTSTATUS status = STATUS_PENDING;
  ULONG bytes = 0;
};

void IgnoreRead(PVOID, PVOID, const protocol::BusMessageHeader*, const UCHAR*, ULONG, ULONG) {}

struct Waits {
  static void Routine(PVOID context, PVOID, ULONG, ULONG bytes, ULONG, NTSTATUS status, ULONG) {
    auto* self = static_cast<Waits*>(context);
    self->bytes = bytes;
    __atomic_store_n(&self->status, status, __ATOMIC_SEQ_CST);
  }
  NTSTATUS Status() const { return __atomic_load_n(&status, __ATOMIC_SEQ_CST); }
  NTSTATUS status = STATUS_PENDING;
  ULONG bytes = 0;
};

class StationServicesTest : public PipeMachineTest {
 protected:
  // The tests set the active function count themselves: no discovery may count the chip's.
  void SetUp() override {
    PipeMachineTest::SetUp();
    const ULONG no_children = 0;
    SetParameter(u"SupportPDOs", REG_DWORD, &no_children, sizeof no_children);
  }
  ChildPdoExtension Child(ULONG function) {
    ChildPdoExtension child{};
    child.ParentFdo = station_->DeviceObject;
    child.ChildKey = ULONG{station_->StationIndex} << 8 | function;
    return child;
  }
  StationServiceTable services_ = MakeStationServiceTable();
};

TEST_F(StationServicesTest, TheTableHoldsAllNineServices) {
  const void* const* slot = reinterpret_cast<const void* const*>(&services_);
  for (size_t i = 0; i < sizeof services_ / sizeof(void*); ++i) EXPECT_NE(slot[i], nullptr) << i;
}

TEST_F(StationServicesTest, ANullChildOrAWrongEndpointReachesNoPipe) {
  chip_.UseStationBulkOut(true);
  Start();
  __atomic_store_n(&station_->ActiveFunctionCount, 1, __ATOMIC_SEQ_CST);
  ChildPdoExtension display = Child(0);
  UCHAR buffer[64] = {};
  ULONG id = 0;
  Waits wait;
  struct Case {
    ChildPdoExtension* child;
    UCHAR endpoint;
  };
  for (Case c : {Case{nullptr, 0x83}, Case{&display, 0x81}, Case{&display, 0x02}}) {
    EXPECT_EQ(services_.WaitInterruptMessage(c.child, c.endpoint, buffer, 64, &id, Waits::Routine,
                                             &wait, nullptr),
              STATUS_INVALID_PARAMETER);
  }
  EXPECT_EQ(InterruptCounters().Waiting[0], 0) << "nothing queued";
  for (Case c : {Case{nullptr, 0x81}, Case{&display, 0x83}}) {
    EXPECT_EQ(services_.SetReadHandler(c.child, c.endpoint, IgnoreRead, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
  }
  protocol::BusMessageHeader h{};
  for (Case c : {Case{nullptr, 0x02}, Case{&display, 0x81}}) {
    EXPECT_EQ(services_.WriteAsync(c.child, c.endpoint, &h, 32, buffer, 4, &id, Writes::Routine,
                                   nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(services_.WriteAndWait(c.child, c.endpoint, &h, 32, nullptr, buffer, 4, nullptr,
                                     nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
  }
  EXPECT_EQ(chip_.station_bulk_out().Slices().size(), 0u);  // nothing written at all
  ULONG transferred = 0, usbd = 0;
  EXPECT_EQ(services_.ControlTransfer(nullptr, USBD_TRANSFER_DIRECTION_IN,
                                      URB_FUNCTION_VENDOR_DEVICE, 0xB1, 0, 0, 132, buffer,
                                      &transferred, nullptr, &usbd),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(services_.GetModuleContext(nullptr), nullptr);
  EXPECT_EQ(services_.GetTime(nullptr), 0u);
  services_.FlushChannel(nullptr);
  services_.Spare(nullptr);
}

TEST_F(StationServicesTest, EachServiceReachesItsPipeOnTheChildsChannel) {
  chip_.UseStationBulkOut(true);
  Start();
  ChildPdoExtension display = Child(0);
  ChildPdoExtension audio = Child(3);
  int module_object = 0;
  display.ModuleContext = &module_object;
  EXPECT_EQ(services_.GetModuleContext(&display), &module_object);

  LONGLONG before = MillisecondsSinceStart(station_);
  ULONG now = services_.GetTime(&display);
  EXPECT_GE(now, before);
  EXPECT_LE(now, MillisecondsSinceStart(station_));

  // Control: the request reaches the chip.
  size_t sent = chip_.log().CountVendor(0xB1);
  UCHAR reply[132] = {};
  ULONG transferred = 0, usbd = 0;
  services_.ControlTransfer(&display, USBD_TRANSFER_DIRECTION_IN, URB_FUNCTION_VENDOR_DEVICE,
                            0xB1, 0, 0, sizeof reply, reply, &transferred, nullptr, &usbd);
  EXPECT_EQ(chip_.log().CountVendor(0xB1), sent + 1);

  // Interrupt IN: the display child waits on channel 0 and gets the next packet of it.
  UCHAR packet[64] = {};
  ULONG id = 0;
  Waits first;
  ASSERT_EQ(services_.WaitInterruptMessage(&display, 0x83, packet, 64, &id, Waits::Routine,
                                           &first, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(InterruptCounters().Waiting[0], 1);
  chip_.RaiseFrameAck(7);
  ASSERT_TRUE(Eventually([&] { return first.Status() == STATUS_SUCCESS; }));
  EXPECT_EQ(first.bytes, 64u);

  // Flush: a wait of the child's channel ends cancelled, one of another channel stays.
  Waits flushed, other;
  UCHAR packet2[64] = {}, packet3[64] = {};
  ASSERT_EQ(services_.WaitInterruptMessage(&display, 0x83, packet2, 64, &id, Waits::Routine,
                                           &flushed, nullptr),
            STATUS_SUCCESS);
  ASSERT_EQ(services_.WaitInterruptMessage(&audio, 0x83, packet3, 64, &id, Waits::Routine,
                                           &other, nullptr),
            STATUS_SUCCESS);
  services_.FlushChannel(&display);
  EXPECT_EQ(flushed.Status(), STATUS_CANCELLED);
  EXPECT_EQ(other.Status(), STATUS_PENDING);
  EXPECT_EQ(InterruptCounters().Waiting[3], 1);
  services_.FlushChannel(&audio);
  EXPECT_EQ(other.Status(), STATUS_CANCELLED);

  // Bulk IN: the audio child's handler is the one of channel 3; a null routine removes it,
  // so a second handler may take the channel again.
  EXPECT_EQ(services_.SetReadHandler(&audio, 0x81, IgnoreRead, nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(BulkIn().SetReadHandler(BulkIn().Object, 3, IgnoreRead, nullptr, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(services_.SetReadHandler(&audio, 0x81, nullptr, nullptr, nullptr), STATUS_SUCCESS);

  // Bulk OUT: the message reaches the chip whole, on the channel of its header.
  __atomic_store_n(&station_->ActiveFunctionCount, 1, __ATOMIC_SEQ_CST);
  std::vector<UCHAR> data(300);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<UCHAR>(i * 5);
  protocol::BusMessageHeader h{};
  h.Type = 0;
  h.TotalLength = static_cast<ULONG>(data.size());
  h.Address = 0x1000;
  h.Slice.SliceLength = h.TotalLength;
  Writes write;
  EXPECT_EQ(services_.WriteAsync(&display, 0x02, &h, 32, data.data(),
                                 static_cast<ULONG>(data.size()), &id, Writes::Routine, &write,
                                 nullptr),
            STATUS_PENDING);
  ASSERT_TRUE(Eventually([&] {
    return __atomic_load_n(&write.status, __ATOMIC_SEQ_CST) != STATUS_PENDING;
  }));
  EXPECT_EQ(write.status, STATUS_SUCCESS);
  EXPECT_EQ(write.bytes, data.size());
  auto delivered = chip_.station_bulk_out().Delivered(0);
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0].payload, data);
  services_.Spare(&display);  // the bulk-OUT pipe's notification; harmless when idle
}

}  // namespace
}  // namespace vorn::station::testing
