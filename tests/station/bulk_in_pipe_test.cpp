// The station's bulk-IN pipe against the chip model: messages read only against credits the
// chip's announcements give, header and payload pieces handed to the channel's read handler,
// messages nobody takes read to their end, oversized ones dropped, disabling mid-payload, and
// the chaos mode's inline and short completions.
#include <gtest/gtest.h>

#include <numeric>

#include "protocol/channels.h"
#include "tests/station/pipe_machine.h"

namespace vorn::station::testing {
namespace {

// Every piece a read handler got, with a copy of its bytes.
class PieceRecorder {
 public:
  struct Piece {
    protocol::BusMessageHeader header;
    ULONG offset;
    ULONG length;
    std::vector<UCHAR> bytes;
  };
  static void Routine(PVOID context, PVOID data, const protocol::BusMessageHeader* header,
                      const UCHAR* payload, ULONG offset, ULONG length) {
    auto* self = static_cast<PieceRecorder*>(context);
    EXPECT_EQ(data, self);
    std::lock_guard<std::mutex> guard(self->lock_);
    self->pieces_.push_back(Piece{*header, offset, length, {payload, payload + length}});
  }
  std::vector<Piece> Pieces() const {
    std::lock_guard<std::mutex> guard(lock_);
    return pieces_;
  }
  size_t Count() const {
    std::lock_guard<std::mutex> guard(lock_);
    return pieces_.size();
  }
  // The payload bytes of every piece in order.
  std::vector<UCHAR> Bytes() const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<UCHAR> all;
    for (const Piece& p : pieces_) all.insert(all.end(), p.bytes.begin(), p.bytes.end());
    return all;
  }
  ULONG Total() const {
    std::lock_guard<std::mutex> guard(lock_);
    ULONG n = 0;
    for (const Piece& p : pieces_) n += p.length;
    return n;
  }

 private:
  mutable std::mutex lock_;
  std::vector<Piece> pieces_;
};

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + seed + (i >> 11));
  return v;
}

chip::BulkInMessage Message(uint32_t type, std::vector<uint8_t> payload) {
  chip::BulkInMessage m;
  m.header.Type = type;
  m.header.TotalLength = static_cast<uint32_t>(payload.size());
  m.header.Slice.SliceLength = m.header.TotalLength;
  m.payload = std::move(payload);
  return m;
}

constexpr uint32_t kRomReply = protocol::ToWire(protocol::BusMessageType::RomReply);
constexpr uint32_t kAudio = protocol::ToWire(protocol::BusMessageType::Audio);

class BulkInPipeTest : public PipeMachineTest {
 protected:
  void Listen(ULONG channel, PieceRecorder* recorder) {
    ASSERT_EQ(BulkIn().SetReadHandler(BulkIn().Object, channel, PieceRecorder::Routine, recorder,
                                      recorder),
              STATUS_SUCCESS);
  }
  // The pipe has read |n| headers and is idle again.
  bool MessagesReach(ULONG n) {
    return Eventually([&] {
      BulkInPipeCounters c = BulkInCounters();
      return c.Messages >= n && c.State == 0;
    });
  }
  // Two ticks have certainly passed: a waiter queued after a held interrupt packet is only
  // served by a tick, and so is a second one after the first.
  void TwoTicks() {
    for (int i = 0; i < 2; ++i) {
      size_t before = display_waits_.Count();
      chip_.RaiseFrameAck(1000 + i);
      ASSERT_TRUE(InterruptReadsReachMore());
      ASSERT_EQ(display_waits_.Post(Interrupt(), 0), STATUS_SUCCESS);
      ASSERT_TRUE(Eventually([&] { return display_waits_.Count() > before; }));
    }
  }
  bool InterruptReadsReachMore() { return InterruptReadsReach(++interrupt_reads_); }

  // Removed before the station goes, as a function module does.
  void TearDown() override {
    if (station_)
      for (ULONG ch = 0; ch < kChannelCount; ++ch)
        BulkIn().SetReadHandler(BulkIn().Object, ch, nullptr, nullptr, nullptr);
    PipeMachineTest::TearDown();
  }

  PieceRecorder rom_;
  PieceRecorder audio_;
  ULONG interrupt_reads_ = 0;
};

TEST_F(BulkInPipeTest, NothingIsReadWithoutACreditAndEachAnnouncementReadsOneMessage) {
  Start();
  Listen(5, &rom_);
  chip_.SendBulkIn(Message(kRomReply, Pattern(100, 1)), false);
  chip_.SendBulkIn(Message(kRomReply, Pattern(200, 2)), false);
  TwoTicks();
  EXPECT_EQ(chip_.bulk_in().Reads(), 0u);
  EXPECT_EQ(rom_.Count(), 0u);

  chip_.interrupts().Push(chip::StatusPacket(chip::StatusWordOf(0, true)));
  ASSERT_TRUE(InterruptReadsReachMore());
  ASSERT_TRUE(MessagesReach(1));
  ASSERT_TRUE(Eventually([&] { return rom_.Count() == 1; }));
  EXPECT_EQ(rom_.Bytes(), Pattern(100, 1));
  TwoTicks();
  EXPECT_EQ(BulkInCounters().Messages, 1u) << "the second message waits for its announcement";

  chip_.interrupts().Push(chip::StatusPacket(chip::StatusWordOf(0, true)));
  ASSERT_TRUE(Eventually([&] { return rom_.Count() == 2; }));
  EXPECT_EQ(rom_.Pieces()[1].bytes, Pattern(200, 2));
  EXPECT_EQ(chip_.bulk_in().QueuedMessages(), 0u);
}

TEST_F(BulkInPipeTest, ALargeRomReplyArrivesInPiecesOfTheTransferSize) {
  Start();
  Listen(5, &rom_);
  const std::vector<uint8_t> payload = Pattern(2000000, 9);
  chip::BulkInMessage m = Message(kRomReply, payload);
  m.header.TypeSpecific[2] = 0x34;
  chip_.SendBulkIn(m);
  ASSERT_TRUE(MessagesReach(1));
  ASSERT_TRUE(Eventually([&] { return rom_.Total() == payload.size(); }));
  std::vector<PieceRecorder::Piece> pieces = rom_.Pieces();
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0].offset, 0u);
  EXPECT_EQ(pieces[0].length, 1044480u);
  EXPECT_EQ(pieces[1].offset, 1044480u);
  EXPECT_EQ(pieces[1].length, 955520u);
  for (const auto& p : pieces) {
    EXPECT_EQ(p.header.Type, kRomReply);
    EXPECT_EQ(p.header.TotalLength, 2000000u);
    EXPECT_EQ(p.header.TypeSpecific[2], 0x34);
  }
  EXPECT_EQ(rom_.Bytes(), payload);
}

TEST_F(BulkInPipeTest, SplitHeadersEmptyAndUnclaimedMessagesKeepTheStreamInStep) {
  Start();
  Listen(5, &rom_);
  chip::BulkInMessage split = Message(kRomReply, Pattern(300, 3));
  split.read_limits = {20, 12, 100};
  chip_.SendBulkIn(split);
  chip_.SendBulkIn(Message(kRomReply, {}));                 // TotalLength 0
  chip_.SendBulkIn(Message(1, Pattern(5000, 4)));           // type 1: no channel
  chip_.SendBulkIn(Message(kAudio, Pattern(700, 5)));       // channel 3: no handler
  chip_.SendBulkIn(Message(kRomReply, Pattern(64, 6)));
  ASSERT_TRUE(MessagesReach(5));
  ASSERT_TRUE(Eventually([&] { return rom_.Count() == 3; }));
  std::vector<PieceRecorder::Piece> pieces = rom_.Pieces();
  // The header came as 20 + 12 bytes; the payload as 100 + 200.
  EXPECT_EQ(pieces[0].offset, 0u);
  EXPECT_EQ(pieces[0].length, 100u);
  EXPECT_EQ(pieces[1].offset, 100u);
  EXPECT_EQ(pieces[1].length, 200u);
  std::vector<UCHAR> first = pieces[0].bytes;
  first.insert(first.end(), pieces[1].bytes.begin(), pieces[1].bytes.end());
  EXPECT_EQ(first, Pattern(300, 3));
  EXPECT_EQ(pieces[2].header.TotalLength, 64u);
  EXPECT_EQ(pieces[2].bytes, Pattern(64, 6));
  BulkInPipeCounters c = BulkInCounters();
  EXPECT_EQ(c.DroppedMessages, 2u);
  EXPECT_EQ(c.Credits, 0);
  EXPECT_FALSE(ReadFlag(station_->DeviceGone));
}

TEST_F(BulkInPipeTest, AnOversizedMessageIsReadToItsEndAndDropped) {
  Start();
  Listen(5, &rom_);
  chip::BulkInMessage huge = Message(kRomReply, {});
  huge.header.TotalLength = kMaxBulkInMessageBytes + 1;
  huge.generated_bytes = kMaxBulkInMessageBytes + 1;
  chip_.SendBulkIn(huge);
  chip_.SendBulkIn(Message(kRomReply, Pattern(128, 7)));
  ASSERT_TRUE(MessagesReach(2));
  ASSERT_TRUE(Eventually([&] { return rom_.Count() == 1; }));
  EXPECT_EQ(rom_.Pieces()[0].bytes, Pattern(128, 7));
  EXPECT_EQ(BulkInCounters().OversizedMessages, 1u);
}

TEST_F(BulkInPipeTest, DisablingMidPayloadCancelsTheReadAndDropsEveryCredit) {
  Start();
  Listen(5, &rom_);
  // The header promises more than the chip has: the second payload read waits in the chip.
  chip::BulkInMessage cut = Message(kRomReply, Pattern(1044480, 8));
  cut.header.TotalLength = 3000000;
  chip_.SendBulkIn(cut);
  ASSERT_TRUE(Eventually([&] { return rom_.Count() == 1 && chip_.bulk_in().WaitingReads() == 1; }));
  const PipeOps& p = BulkIn();
  ASSERT_EQ(p.AddReadCredits(p.Object, 4), STATUS_SUCCESS);
  EXPECT_EQ(BulkInCounters().Credits, 4);
  EXPECT_EQ(BulkInCounters().State, 2);

  p.Enable(p.Object, 0);
  BulkInPipeCounters c = BulkInCounters();
  EXPECT_EQ(c.State, 0);
  EXPECT_EQ(c.Credits, 0);
  EXPECT_EQ(chip_.bulk_in().WaitingReads(), 0u) << "the read was cancelled and waited for";
  EXPECT_FALSE(ReadFlag(station_->DeviceGone)) << "a cancelled read is no gone device";
  EXPECT_EQ(rom_.Count(), 1u);
  p.Enable(p.Object, 1);
}

TEST_F(BulkInPipeTest, ADeviceThatLeavesMidPayloadEndsTheChainAsGone) {
  Start();
  Listen(5, &rom_);
  chip::BulkInMessage cut = Message(kRomReply, Pattern(1000, 2));
  cut.header.TotalLength = 5000;
  chip_.SendBulkIn(cut);
  ASSERT_TRUE(Eventually([&] { return rom_.Count() == 1 && chip_.bulk_in().WaitingReads() == 1; }));
  chip_.Unplug();
  ASSERT_TRUE(Eventually([&] { return ReadFlag(station_->DeviceGone) != 0; }));
  ASSERT_TRUE(Eventually([&] { return BulkInCounters().State == 0; }));
  EXPECT_EQ(rom_.Count(), 1u);
  EXPECT_EQ(BulkInCounters().ProtocolErrors, 0u);
}

TEST_F(BulkInPipeTest, WritesAndBadChannelsAreRefused) {
  Start();
  const PipeOps& p = BulkIn();
  EXPECT_EQ(p.SetReadHandler(p.Object, 10, PieceRecorder::Routine, &rom_, &rom_),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(p.SetReadHandler(nullptr, 0, PieceRecorder::Routine, &rom_, &rom_),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(p.AddReadCredits(nullptr, 1), STATUS_INVALID_PARAMETER);
  protocol::BusMessageHeader h;
  ULONG header_bytes = 7, data_bytes = 7, usbd = 0;
  EXPECT_EQ(p.WriteAndWait(p.Object, &h, 32, &header_bytes, "x", 1, &data_bytes, nullptr, &usbd),
            STATUS_NOT_SUPPORTED);
  EXPECT_EQ(usbd, 0xC0000E00u);
  ASSERT_NE(p.FlushChannel, nullptr);
  ASSERT_NE(p.Notify, nullptr);
  p.FlushChannel(p.Object, 5);
  p.Notify(p.Object);
  EXPECT_EQ(p.ControlTransfer, nullptr);
  EXPECT_EQ(p.WriteAsync, nullptr);
  EXPECT_EQ(p.WaitInterruptMessage, nullptr);
}

TEST_F(BulkInPipeTest, WithoutInterruptAnnouncementsEachCreditIsWorthThreeReads) {
  const UCHAR off = 0;
  SetParameter(u"BulkInByInterrupt", REG_BINARY, &off, 1);
  Start();
  EXPECT_EQ(BulkInCounters().ByInterrupt, 0);
  const PipeOps& p = BulkIn();
  ASSERT_EQ(p.AddReadCredits(p.Object, 1), STATUS_SUCCESS);
  // One of the three starts a header read at once; it waits in the chip.
  ASSERT_TRUE(Eventually([&] {
    return chip_.bulk_in().WaitingReads() == 1 && BulkInCounters().Credits == 2;
  }));
}

// Inline, delayed and short completions in a seeded mix: every message reaches its handler
// whole, with offsets that follow each other, headers split anywhere included.
TEST_F(BulkInPipeTest, ChaosCompletionsDeliverEveryMessageWhole) {
  usb::BusOptions options;
  options.chaos = true;
  options.chaos_seed = 33;
  options.chaos_inline_percent = 50;
  options.chaos_short_percent = 30;
  options.chaos_cancel_percent = 0;  // a cancelled read leaves the device mid-message
  options.chaos_max_delay_us = 0;  // the transfer reaches the chip on the caller's thread
  Start(options);
  Listen(5, &rom_);
  Listen(3, &audio_);
  constexpr int kMessages = 60;
  std::vector<uint8_t> expected_rom, expected_audio;
  for (int i = 0; i < kMessages; ++i) {
    const size_t size = static_cast<size_t>((i * 7919) % 300000 + (i % 3 == 0 ? 0 : 1));
    std::vector<uint8_t> payload = Pattern(size, static_cast<uint8_t>(i));
    (i % 2 ? expected_audio : expected_rom).insert((i % 2 ? expected_audio : expected_rom).end(),
                                                   payload.begin(), payload.end());
    // Credits straight to the pipe: the chaos mode shortens interrupt reads too, and a short
    // announcement is no announcement.
    chip_.SendBulkIn(Message(i % 2 ? kAudio : kRomReply, std::move(payload)), false);
    ASSERT_EQ(BulkIn().AddReadCredits(BulkIn().Object, 1), STATUS_SUCCESS);
  }
  ASSERT_TRUE(MessagesReach(kMessages));
  ASSERT_TRUE(Eventually([&] {
    return rom_.Total() == expected_rom.size() && audio_.Total() == expected_audio.size();
  }));
  EXPECT_EQ(rom_.Bytes(), expected_rom);
  EXPECT_EQ(audio_.Bytes(), expected_audio);
  for (PieceRecorder* r : {&rom_, &audio_}) {
    ULONG next = 0;
    for (const auto& piece : r->Pieces()) {
      if (piece.offset == 0) next = 0;
      EXPECT_EQ(piece.offset, next);
      next += piece.length;
      EXPECT_LE(next, piece.header.TotalLength);
    }
  }
  BulkInPipeCounters c = BulkInCounters();
  EXPECT_EQ(c.ProtocolErrors, 0u);
  EXPECT_EQ(c.Credits, 0);
  EXPECT_GT(bus_->Counters().chaos_short, 0u);
  EXPECT_GT(bus_->Counters().chaos_inline, 0u);
}

}  // namespace
}  // namespace vorn::station::testing
