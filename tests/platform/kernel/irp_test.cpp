#include <cstring>

#include "platform/kernel/wdm.h"
#include "platform/kernel/io.h"
#include "tests/platform/kernel/kernel_fixture.h"

namespace {

using vorn::kernel::testing::KernelTest;

// A driver that answers one buffered code with |g_answer| bytes of Information, holds another
// pending with a cancel routine, and completes a third twice.
ULONG_PTR g_answer = 0;
IRP* g_held = nullptr;

void HeldCancel(DEVICE_OBJECT*, IRP* irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  if (InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&g_held), nullptr) == irp) {
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

NTSTATUS Complete0(IRP* irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS Control(DEVICE_OBJECT*, IRP* irp) {
  IO_STACK_LOCATION* st = IoGetCurrentIrpStackLocation(irp);
  switch (st->Parameters.DeviceIoControl.IoControlCode) {
    case 0x222400:  // buffered
      std::memset(irp->AssociatedIrp.SystemBuffer, 0x5A, st->Parameters.DeviceIoControl.OutputBufferLength);
      irp->IoStatus.Status = STATUS_SUCCESS;
      irp->IoStatus.Information = g_answer;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_SUCCESS;
    case 0x222404:  // held until cancelled
      IoMarkIrpPending(irp);
      g_held = irp;
      IoSetCancelRoutine(irp, HeldCancel);
      return STATUS_PENDING;
    case 0x222408:  // completed at once with its input length as Information
      return Complete0(irp);
    case 0x22240C:  // held with a cancel routine that forgets the cancel spin lock
      IoMarkIrpPending(irp);
      g_held = irp;
      IoSetCancelRoutine(irp, [](DEVICE_OBJECT*, IRP* held) {
        g_held = nullptr;
        held->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(held, IO_NO_INCREMENT);
      });
      return STATUS_PENDING;
    default:  // completed twice: a fault the tracker must catch
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_SUCCESS;
  }
}

NTSTATUS Entry(DRIVER_OBJECT* driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Control;
  return STATUS_SUCCESS;
}

class IrpTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    driver_ = vorn::kernel::LoadDriver(u"vornirptest", Entry);
    IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_);
  }
  void TearDown() override {
    IoDeleteDevice(device_);
    vorn::kernel::UnloadDriver(driver_);
    EXPECT_EQ(vorn::kernel::LiveDeviceCount(), 0u);
    KernelTest::TearDown();
  }
  NTSTATUS Call(ULONG code, void* out, ULONG out_length, IO_STATUS_BLOCK* iosb) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IRP* irp = IoBuildDeviceIoControlRequest(code, device_, nullptr, 0, out, out_length, FALSE, &done, iosb);
    NTSTATUS s = IoCallDriver(device_, irp);
    if (s == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return iosb->Status;
  }
  DRIVER_OBJECT* driver_ = nullptr;
  DEVICE_OBJECT* device_ = nullptr;
};

TEST_F(IrpTest, BufferedAnswerIsCopiedBackNeverPastTheOutputLength) {
  uint8_t out[12];
  std::memset(out, 0, sizeof(out));
  IO_STATUS_BLOCK iosb{};
  g_answer = 8;
  EXPECT_EQ(Call(0x222400, out, 10, &iosb), STATUS_SUCCESS);
  EXPECT_EQ(out[7], 0x5A);
  EXPECT_EQ(out[8], 0);
  g_answer = 16;  // more than the caller's 10 bytes
  std::memset(out, 0, sizeof(out));
  auto v = ExpectViolations([&] { Call(0x222400, out, 10, &iosb); });
  EXPECT_EQ(v.size(), 1u);
  EXPECT_EQ(out[9], 0x5A);
  EXPECT_EQ(out[10], 0);
  EXPECT_EQ(vorn::kernel::pool::AllOutstanding().size(), 0u);
}

TEST_F(IrpTest, DoubleCompletionIsCaught) {
  // An IRP the test owns (so the second completion touches live memory).
  IRP* irp = IoAllocateIrp(device_->StackSize, FALSE);
  IO_STACK_LOCATION* st = IoGetNextIrpStackLocation(irp);
  st->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  st->Parameters.DeviceIoControl.IoControlCode = 0x222410;
  auto v = ExpectViolations([&] { IoCallDriver(device_, irp); });
  bool found = false;
  for (auto& text : v) found |= text.find("double completion") != std::string::npos;
  EXPECT_TRUE(found);
  IoFreeIrp(irp);
}

TEST_F(IrpTest, HeldIrpShowsAsMissingCompletionUntilCancelled) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  IRP* irp = IoBuildDeviceIoControlRequest(0x222404, device_, nullptr, 0, nullptr, 0, FALSE, &done, &iosb);
  EXPECT_EQ(IoCallDriver(device_, irp), STATUS_PENDING);
  auto held = vorn::kernel::irp::InDriver();
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0].device, device_);
  auto v = ExpectViolations([] { vorn::kernel::irp::CheckNoneInDriver(); });
  EXPECT_EQ(v.size(), 1u);
  EXPECT_TRUE(IoCancelIrp(irp));
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
  EXPECT_TRUE(vorn::kernel::irp::InDriver().empty());
}

struct Stopper {
  KEVENT done;
  int calls = 0;
  int resubmit = 0;
  DEVICE_OBJECT* device = nullptr;
};

NTSTATUS StopHere(DEVICE_OBJECT*, IRP* irp, PVOID context) {
  auto* s = static_cast<Stopper*>(context);
  ++s->calls;
  if (s->resubmit > 0) {  // send the same IRP again from its completion
    --s->resubmit;
    IO_STACK_LOCATION* st = IoGetNextIrpStackLocation(irp);
    st->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    st->Parameters.DeviceIoControl.IoControlCode = 0x222408;
    IoSetCompletionRoutine(irp, StopHere, s, TRUE, TRUE, TRUE);
    IoCallDriver(s->device, irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  KeSetEvent(&s->done, 0, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(IrpTest, StoppedCompletionResumesLaterAndFinishesTheBuiltRequest) {
  // The control-transfer pattern: the routine stops completion, the waiter completes again.
  Stopper stopper;
  KeInitializeEvent(&stopper.done, NotificationEvent, FALSE);
  KEVENT user;
  KeInitializeEvent(&user, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  iosb.Status = STATUS_PENDING;
  IRP* irp = IoBuildDeviceIoControlRequest(0x222408, device_, nullptr, 0, nullptr, 0, FALSE, &user, &iosb);
  IoSetCompletionRoutine(irp, StopHere, &stopper, TRUE, TRUE, TRUE);
  IoCallDriver(device_, irp);
  KeWaitForSingleObject(&stopper.done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(iosb.Status, STATUS_PENDING);  // not finished yet
  IoCompleteRequest(irp, IO_NO_INCREMENT);  // finishes and frees it
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&user), 1);
  EXPECT_EQ(vorn::kernel::pool::AllOutstanding().size(), 0u);
}

TEST_F(IrpTest, CompletionRoutineMayResubmitItsIrp) {
  Stopper stopper;
  KeInitializeEvent(&stopper.done, NotificationEvent, FALSE);
  stopper.resubmit = 3;
  stopper.device = device_;
  IRP* irp = IoAllocateIrp(static_cast<CCHAR>(device_->StackSize + 1), FALSE);
  IO_STACK_LOCATION* st = IoGetNextIrpStackLocation(irp);
  st->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  st->Parameters.DeviceIoControl.IoControlCode = 0x222408;
  IoSetCompletionRoutine(irp, StopHere, &stopper, TRUE, TRUE, TRUE);
  IoCallDriver(device_, irp);
  KeWaitForSingleObject(&stopper.done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(stopper.calls, 4);
  EXPECT_TRUE(vorn::kernel::irp::InDriver().empty());
  IoReuseIrp(irp, STATUS_SUCCESS);
  IoFreeIrp(irp);
}

TEST_F(IrpTest, CancelRoutineThatKeepsTheCancelLockIsCaught) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  IRP* irp = IoBuildDeviceIoControlRequest(0x22240C, device_, nullptr, 0, nullptr, 0, FALSE, &done, &iosb);
  IoCallDriver(device_, irp);
  auto v = ExpectViolations([&] { IoCancelIrp(irp); });
  ASSERT_EQ(v.size(), 1u);
  EXPECT_NE(v[0].find("cancel spin lock"), std::string::npos);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
}

}  // namespace
