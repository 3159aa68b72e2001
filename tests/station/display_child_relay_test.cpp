// The display child's bulk OUT relay and interrupt slots on a whole station over the chip
// model: messages of type 0 and 7 split over transfers as the chip receives them, one OUT at
// a time, refusals and pipe resets that start the relay over, a cancelled OUT that completes
// only once the pipe no longer reads it, and a surprise removal with everything in flight.
#include <gtest/gtest.h>

#include <numeric>
#include <string>

#include "sim/chip/interrupt_events.h"
#include "station/bus/urb_handlers.h"
#include "tests/station/urb_child_fixture.h"

namespace vorn::station::testing {
namespace {

using Slice = chip::StationBulkOut::SliceRecord;

class RelayTest : public DisplayChildTest {
 protected:
  // One bulk OUT transfer of |bytes| on 0x02; its final status.
  NTSTATUS Out(std::vector<UCHAR>& bytes, ULONG* usbd = nullptr, ULONG* transferred = nullptr) {
    URB urb = BulkUrb(pipes_[1], bytes.data(), static_cast<ULONG>(bytes.size()), false);
    NTSTATUS status = Submit(&urb);
    if (usbd) *usbd = static_cast<ULONG>(urb.UrbHeader.Status);
    if (transferred) *transferred = urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    return status;
  }
  std::vector<Slice> SlicesOf(uint32_t channel) {
    std::vector<Slice> out;
    for (const Slice& s : chip_->station_bulk_out().Slices())
      if (s.channel == channel) out.push_back(s);
    return out;
  }
  void ResetOutPipe() {
    URB reset{};
    reset.UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE;
    reset.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    reset.UrbPipeRequest.PipeHandle = pipes_[1];
    ASSERT_EQ(Submit(&reset), STATUS_SUCCESS);
  }
};

struct RelayCase {
  const char* name;
  uint32_t type;
  uint32_t total;
  std::vector<ULONG> pieces;  // payload bytes per transfer; the first transfer also has the header
  // Expected slice headers on the chip, (length, offset), for type 0.
  std::vector<std::pair<uint32_t, uint32_t>> slices;
};
void PrintTo(const RelayCase& c, std::ostream* os) { *os << c.name; }

class RelayCaseTest : public RelayTest, public ::testing::WithParamInterface<RelayCase> {};

TEST_P(RelayCaseTest, AMessageSplitOverTransfersReachesTheChipWhole) {
  const RelayCase& c = GetParam();
  ASSERT_NE(Start(), nullptr);
  Configure();
  const uint32_t channel = c.type == 7 ? 7 : 0;
  const uint32_t start_offset = 0;
  // The payload counts up, so the chip's message shows every byte in its place.
  std::vector<UCHAR> payload(c.total);
  std::iota(payload.begin(), payload.end(), UCHAR{1});
  ULONG at = 0;
  for (size_t i = 0; i < c.pieces.size(); ++i) {
    std::vector<UCHAR> transfer;
    if (i == 0) {
      transfer = MessageBytes(c.type, c.total, start_offset, 0);
      if (c.type == 7) {
        auto* h = reinterpret_cast<protocol::BusMessageHeader*>(transfer.data());
        h->TwoPlane.Width = 8;
        h->TwoPlane.Height = 2;
      }
    }
    const size_t head = transfer.size();
    transfer.resize(head + c.pieces[i]);
    if (c.pieces[i]) std::memcpy(transfer.data() + head, payload.data() + at, c.pieces[i]);
    at += c.pieces[i];
    ULONG usbd = 1, done = 0;
    EXPECT_EQ(Out(transfer, &usbd, &done), STATUS_SUCCESS) << "transfer " << i;
    EXPECT_EQ(usbd, 0u);
    EXPECT_EQ(done, transfer.size()) << "the whole transfer, header included";
  }
  EXPECT_TRUE(WaitFor([&] { return chip_->station_bulk_out().Completed(channel) == 1; }));
  auto delivered = chip_->station_bulk_out().Delivered(channel);
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0].payload, payload);
  if (c.type == 0) {
    std::vector<std::pair<uint32_t, uint32_t>> seen;
    for (const Slice& s : SlicesOf(0)) seen.emplace_back(s.slice_length, s.slice_offset - start_offset);
    EXPECT_EQ(seen, c.slices);
  } else {
    EXPECT_EQ(delivered[0].slices, 1u) << "only the first piece carries the header";
  }
  // The payload here is not a frame; only the transport's own checks count.
  for (const std::string& v : chip_->violations().Messages())
    if (v.rfind("frame:", 0) != 0) ADD_FAILURE() << v;
}

INSTANTIATE_TEST_SUITE_P(
    Messages, RelayCaseTest,
    ::testing::Values(RelayCase{"type0_in_one_transfer", 0, 1000, {1000}, {{1000, 0}}},
                      RelayCase{"type0_header_then_two_pieces", 0, 1000, {0, 600, 400}, {{600, 0}, {400, 600}}},
                      RelayCase{"type7_in_three_transfers", 7, 24, {8, 10, 6}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RelayTest, ARefusedPieceAndAPipeResetStartTheRelayOverWithAHeader) {
  ASSERT_NE(Start(), nullptr);
  Configure();
  // A continuation longer than the rest of its message is refused, and the message dropped.
  auto head = MessageBytes(0, 100, 0, 40);
  EXPECT_EQ(Out(head), STATUS_SUCCESS);
  std::vector<UCHAR> too_long(61, 1);
  ULONG usbd = 0;
  EXPECT_EQ(Out(too_long, &usbd), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(usbd, static_cast<ULONG>(USBD_STATUS_DATA_BUFFER_ERROR));
  auto whole = MessageBytes(0, 64, 0, 64, 0x11);
  EXPECT_EQ(Out(whole), STATUS_SUCCESS) << "taken as a new message";

  // A reset of endpoint 0x02 mid-message: the next transfer is a header again.
  auto partial = MessageBytes(0, 500, 0, 100);
  EXPECT_EQ(Out(partial), STATUS_SUCCESS);
  ResetOutPipe();
  auto after = MessageBytes(0, 64, 0, 64, 0x22);
  EXPECT_EQ(Out(after), STATUS_SUCCESS);

  EXPECT_TRUE(WaitFor([&] {
    auto slices = SlicesOf(0);
    return slices.size() == 4;
  }));
  auto slices = SlicesOf(0);
  ASSERT_EQ(slices.size(), 4u);
  EXPECT_EQ(slices[1].total, 64u);
  EXPECT_EQ(slices[1].slice_length, 64u);
  EXPECT_EQ(slices[3].total, 64u);
  EXPECT_EQ(slices[3].slice_length, 64u);
}

TEST_F(RelayTest, AFailedPieceLeavesTheChildGoneUntilItIsMadeAgain) {
  ASSERT_NE(Start(), nullptr);
  Configure();
  chip_->script().OnEndpoint(0x02, {chip::ScriptKind::kFail, chip::ScriptAction::kForever, 0});
  auto message = MessageBytes(0, 64, 0, 64);
  EXPECT_FALSE(NT_SUCCESS(Out(message)));
  chip_->script().Clear();
  ULONG usbd = 0;
  EXPECT_EQ(Out(message, &usbd), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(usbd, static_cast<ULONG>(USBD_STATUS_DEVICE_GONE));
}

TEST_F(RelayTest, AStopInsideATwoPlaneMessageLetsTheNextStartSendOtherMessagesAgain) {
  ChildPdoExtension* child = Start();
  ASSERT_NE(child, nullptr);
  Configure();
  // The header and the first of three pieces go: from then on the bulk-OUT pipe serves only
  // the two-plane channel until the rest of the message has followed.
  auto head = MessageBytes(7, 24, 0, 8, 0x71);
  auto* h = reinterpret_cast<protocol::BusMessageHeader*>(head.data());
  h->TwoPlane.Width = 8;
  h->TwoPlane.Height = 2;
  ASSERT_EQ(Out(head), STATUS_SUCCESS);
  ASSERT_TRUE(WaitFor([&] { return chip_->station_bulk_out().InMessage(7); }));

  // The child stops before the rest comes, and starts again: the message is given up on both
  // sides, so the next message, on the display channel, is sent.
  child->Ops->Stop(child->ModuleContext);
  ASSERT_EQ(child->Ops->Start(child->ModuleContext), STATUS_SUCCESS);
  auto display = MessageBytes(0, 64, 0, 64, 0x11);
  ULONG usbd = 1;
  EXPECT_EQ(Out(display, &usbd), STATUS_SUCCESS);
  EXPECT_EQ(usbd, 0u);
  EXPECT_TRUE(WaitFor([&] { return chip_->station_bulk_out().Completed(0) == 1; }));
  EXPECT_EQ(chip_->station_bulk_out().Completed(7), 0u) << "the cut message never completes";
}

TEST_F(RelayTest, OneOutAtATimeACancelEndsTheHeldTransferAndRemovalCompletesEverythingOnce) {
  // The chip holds the piece: the test must not let a stand-in time-out end it meanwhile.
  clock::ScopedSpeed real_time(1);
  ASSERT_NE(Start(), nullptr);
  Configure();
  chip_->script().OnEndpoint(0x02, {chip::ScriptKind::kTimeOut, 1, 0});
  auto first_bytes = MessageBytes(0, 256, 0, 256);
  URB first_urb = BulkUrb(pipes_[1], first_bytes.data(), 288, false);
  UrbRequest first;
  Send(first, IOCTL_INTERNAL_USB_SUBMIT_URB, &first_urb);
  EXPECT_EQ(first.returned, STATUS_PENDING);
  ASSERT_TRUE(WaitFor([&] { return chip_->HeldTransfers() > 0; }));

  auto second_bytes = MessageBytes(0, 64, 0, 64);
  URB second_urb = BulkUrb(pipes_[1], second_bytes.data(), 96, false);
  EXPECT_EQ(Submit(&second_urb), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(second_urb.UrbHeader.Status, USBD_STATUS_INSUFFICIENT_RESOURCES);

  // Four interrupt reads wait; a fifth is refused.
  UCHAR in_buffers[5][64] = {};
  URB in_urbs[5];
  UrbRequest reads[4];
  for (int i = 0; i < 4; ++i) {
    in_urbs[i] = BulkUrb(pipes_[2], in_buffers[i], 64, true);
    Send(reads[i], IOCTL_INTERNAL_USB_SUBMIT_URB, &in_urbs[i]);
    EXPECT_EQ(reads[i].returned, STATUS_PENDING);
  }
  in_urbs[4] = BulkUrb(pipes_[2], in_buffers[4], 64, true);
  EXPECT_EQ(Submit(&in_urbs[4]), STATUS_INSUFFICIENT_RESOURCES);

  // A cancelled read completes at once (the pipe writes only the slot's own buffer).
  IoCancelIrp(reads[0].irp);
  EXPECT_EQ(Finish(reads[0]), STATUS_CANCELLED);
  EXPECT_EQ(in_urbs[0].UrbHeader.Status, USBD_STATUS_CANCELED);

  // The cancelled OUT is withdrawn from the pipe, and the transfer the chip holds its piece
  // in is cancelled: a chip that never answers cannot hold the cancel for ever. The request
  // completes cancelled once that transfer has ended, and the child is not gone.
  IoCancelIrp(first.irp);
  EXPECT_EQ(Finish(first), STATUS_CANCELLED);
  EXPECT_EQ(first_urb.UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(chip_->HeldTransfers(), 0u);
  URB third_urb = BulkUrb(pipes_[1], second_bytes.data(), 96, false);
  UrbRequest third;
  Send(third, IOCTL_INTERNAL_USB_SUBMIT_URB, &third_urb);
  EXPECT_EQ(Finish(third), STATUS_SUCCESS) << "the next message is relayed";

  // The adapter leaves: every request ends, each once.
  bus_->Detach(*chip_);
  chip_->Unplug();
  for (int i = 1; i < 4; ++i) EXPECT_FALSE(NT_SUCCESS(Finish(reads[i]))) << "read " << i;
}

TEST_F(RelayTest, InterruptReadsGetTheChipsPacketsAndAStopEndsTheRestUntilTheNextStart) {
  ChildPdoExtension* child = Start();
  ASSERT_NE(child, nullptr);
  Configure();
  UCHAR buffers[4][64] = {};
  URB urbs[4];
  UrbRequest reads[4];
  for (int i = 0; i < 4; ++i) {
    urbs[i] = BulkUrb(pipes_[2], buffers[i], 64, true);
    Send(reads[i], IOCTL_INTERNAL_USB_SUBMIT_URB, &urbs[i]);
    ASSERT_EQ(reads[i].returned, STATUS_PENDING);
  }
  const auto packet = chip::FrameAckPacket(77);
  chip_->RaiseFrameAck(77);
  ASSERT_TRUE(WaitFor([&] {
    int done = 0;
    for (auto& r : reads) done += r.Done();
    return done == 1;
  }));
  int served = -1;
  for (int i = 0; i < 4; ++i)
    if (reads[i].Done()) served = i;
  ASSERT_GE(served, 0);
  EXPECT_EQ(reads[served].iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(urbs[served].UrbBulkOrInterruptTransfer.TransferBufferLength, 64u);
  EXPECT_EQ(std::vector<UCHAR>(buffers[served], buffers[served] + 64),
            std::vector<UCHAR>(packet.begin(), packet.end()));

  // The module's Stop flushes the child's channel: the other reads end cancelled.
  child->Ops->Stop(child->ModuleContext);
  for (int i = 0; i < 4; ++i) {
    if (i == served) continue;
    EXPECT_EQ(Finish(reads[i]), STATUS_CANCELLED) << "read " << i;
  }
  URB refused = BulkUrb(pipes_[2], buffers[0], 64, true);
  EXPECT_EQ(Submit(&refused), STATUS_DEVICE_NOT_CONNECTED);

  // A cancel is no failure of the device: after Start the child serves again.
  ASSERT_EQ(child->Ops->Start(child->ModuleContext), STATUS_SUCCESS);
  auto message = MessageBytes(0, 64, 0, 64);
  EXPECT_EQ(Out(message), STATUS_SUCCESS);
}

}  // namespace
}  // namespace vorn::station::testing
