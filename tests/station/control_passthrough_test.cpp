// The control interface's requests that reach the chip, checked by the chip model: NS vendor
// reads and writes and the user events of NS mode, a user's control transfer with the cursor
// remap of view 1, a user's bus message on the bulk-OUT pipe, and a message request that
// pends while its handle is closed or its caller cancels it.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "platform/kernel/io.h"
#include "platform/kernel/object.h"
#include "protocol/bus_message.h"
#include "protocol/byte_order.h"
#include "protocol/control_codes.h"
#include "protocol/frame_descriptor.h"
#include "protocol/interrupt_packet.h"
#include "protocol/vendor_request.h"
#include "tests/station/control_fixture.h"

namespace vorn::station::testing {
namespace {

using namespace protocol;

constexpr uint8_t kBulkOutEndpoint = 0x02;

std::vector<UCHAR> NsRequest(USHORT value, USHORT index) {
  std::vector<UCHAR> in(8, 0);
  StoreLe16(in.data(), value);
  StoreLe16(in.data() + 2, index);
  return in;
}

// A full RGB frame of view 0, |width| x |height| at device address 0, pixels counting up.
std::vector<UCHAR> FrameMessage(uint16_t width, uint16_t height, uint32_t sequence) {
  const uint32_t pixels = uint32_t{width} * height * 3;
  FrameDescriptor d;
  d.PacketKind = ToWire(FramePacketKind::FullView0);
  d.PayloadLength = pixels;
  d.Sequence = sequence;
  d.Layout = ToWire(SurfaceFormat::Rgb24);
  d.Full.Stride1 = static_cast<uint16_t>(width * 3);
  d.Full.Format = ToWire(SurfaceFormat::Rgb24);
  d.Full.Width = width;
  d.Full.Height = height;
  std::vector<UCHAR> m(kBusMessageHeaderSize + kFrameDescriptorSize + pixels, 0);
  StoreLe32(m.data(), ToWire(BusMessageType::Display));
  StoreLe32(m.data() + 4, kFrameDescriptorSize + pixels);
  EXPECT_TRUE(EncodeFrameDescriptor(d, MutableByteSpan(m.data() + 32, kFrameDescriptorSize)));
  for (uint32_t i = 0; i < pixels; ++i) m[kFramePayloadOffset + i] = static_cast<UCHAR>(i);
  return m;
}

class NsTest : public ControlTest {};

TEST_F(NsTest, VendorWritesAndReadsReachTheChipsRegisters) {
  ASSERT_NE(Start(Profile(8), true), nullptr);
  ASSERT_EQ(ReadFlag(station_->NsMode), 1);
  HANDLE h = Open(u"");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);

  std::vector<UCHAR> in = NsRequest(0x0012, 0x0345);
  std::vector<UCHAR> data(300);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<UCHAR>(0xFF - i);
  IoctlResult w = Ioctl(h, IOCTL_OP_NS_VENDOR_WRITE, in.data(), 8, data.data(), 300);
  EXPECT_TRUE(w.ok) << w.error;
  EXPECT_EQ(w.bytes, 8u);
  std::vector<UCHAR> back(300, 0xEE);
  IoctlResult r = Ioctl(h, IOCTL_OP_NS_VENDOR_READ, in.data(), 8, back.data(), 300);
  EXPECT_TRUE(r.ok) << r.error;
  EXPECT_EQ(back, data);

  // A pair never written answers the chip's pattern, so the read went where it was asked.
  in = NsRequest(0x0100, 0x0007);
  std::vector<UCHAR> fresh(16, 0xEE);
  ASSERT_TRUE(Ioctl(h, IOCTL_OP_NS_VENDOR_READ, in.data(), 8, fresh.data(), 16).ok);
  EXPECT_EQ(fresh, chip::NsRegisterBytes({}, 0x0100, 0x0007, 16));
  std::vector<chip::LoggedRequest> log = chip_->log().VendorRequests();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back().setup.bRequest, ReqNsRead);
  EXPECT_EQ(log.back().setup.wLength, 16);

  // Longer than a setup packet can say: refused, nothing sent.
  const size_t before = chip_->log().CountVendor(ReqNsRead);
  std::vector<UCHAR> huge(0x10000);
  r = Ioctl(h, IOCTL_OP_NS_VENDOR_READ, in.data(), 8, huge.data(), 0x10000);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, ERROR_INVALID_PARAMETER);
  w = Ioctl(h, IOCTL_OP_NS_VENDOR_WRITE, in.data(), 8, huge.data(), 0x10000);
  EXPECT_EQ(w.error, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(chip_->log().CountVendor(ReqNsRead), before);
  EXPECT_EQ(chip_->log().CountVendor(ReqNsWrite), 1u);
}

TEST_F(NsTest, CallersOnSeveralThreadsEachGetTheirOwnAnswers) {
  ASSERT_NE(Start(Profile(8), true), nullptr);
  constexpr int kThreads = 3;
  constexpr int kRounds = 20;
  HANDLE handles[kThreads];
  for (HANDLE& h : handles) {
    h = Open(u"\\roothub");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
  }
  int mismatches[kThreads] = {};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        std::vector<UCHAR> in = NsRequest(static_cast<USHORT>(0x200 + t), USHORT(round));
        std::vector<UCHAR> data(24, static_cast<UCHAR>(t * 64 + round));
        std::vector<UCHAR> back(24, 0);
        UCHAR version[40];
        const bool ok =
            Ioctl(handles[t], IOCTL_OP_NS_VENDOR_WRITE, in.data(), 8, data.data(), 24).ok &&
            Ioctl(handles[t], IOCTL_OP_DDI_GET_DDI_VERSION, nullptr, 0, version, 40).ok &&
            Ioctl(handles[t], IOCTL_OP_NS_VENDOR_READ, in.data(), 8, back.data(), 24).ok;
        if (!ok || back != data) ++mismatches[t];
      }
    });
  for (std::thread& t : threads) t.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
  EXPECT_EQ(chip_->log().CountVendor(ReqNsWrite), size_t{kThreads * kRounds});
}

TEST_F(NsTest, AnOutputWithoutABufferBehindItIsTooSmall) {
  ASSERT_NE(Start(Profile(8), true), nullptr);
  FILE_OBJECT* file = nullptr;
  ASSERT_EQ(kernel::io::Open(Path(u""), &file), STATUS_SUCCESS);
  std::vector<UCHAR> in = NsRequest(2, 3);
  // No MDL describes an output of 16 bytes: the row's own check refuses it.
  EXPECT_EQ(kernel::io::DeviceControl(file, IOCTL_OP_NS_VENDOR_READ, in.data(), 8, nullptr, 16),
            STATUS_BUFFER_TOO_SMALL);
  // A message without a buffer never reaches the pipe.
  EXPECT_EQ(kernel::io::DeviceControl(file, IOCTL_OP_SEND_MESSAGE, in.data(), 8, nullptr, 80),
            STATUS_INVALID_USER_BUFFER);
  kernel::io::Close(file);
}

TEST_F(NsTest, UserEventsAreSetByTheChipsEventBits) {
  ASSERT_NE(Start(Profile(8), true), nullptr);
  HANDLE a = Open(u"");
  HANDLE b = Open(u"\\roothub");
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  ASSERT_NE(b, INVALID_HANDLE_VALUE);
  HANDLE e1 = nullptr, e2 = nullptr;
  KEVENT* event1 = kernel::CreateEventObject(NotificationEvent, false, &e1);
  KEVENT* event2 = kernel::CreateEventObject(NotificationEvent, false, &e2);
  auto call = [&](HANDLE h, UCHAR reg, UCHAR slot, HANDLE event) {
    UCHAR in[16] = {reg, slot};
    StoreLe64(in + 8, reinterpret_cast<uintptr_t>(event));
    return Ioctl(h, IOCTL_OP_USER_EVENT, in, 16, nullptr, 0);
  };
  struct Step {
    const char* what;
    HANDLE handle;
    UCHAR reg, slot;
    HANDLE event;
    DWORD error;
  };
  const Step steps[] = {
      {"register slot 0", a, 1, 0, e1, ERROR_SUCCESS},
      {"the same handle again", a, 1, 0, e1, ERROR_SUCCESS},
      {"another event in the slot", b, 1, 0, e2, ERROR_ACCESS_DENIED},
      {"slot 2", a, 1, 2, e1, ERROR_INVALID_PARAMETER},
      {"event handle 0", a, 1, 1, nullptr, ERROR_INVALID_PARAMETER},
      {"not an event", a, 1, 1, reinterpret_cast<HANDLE>(uintptr_t{0x7FF0}), ERROR_INVALID_HANDLE},
      {"unregister by another file", b, 0, 0, e1, ERROR_GEN_FAILURE},
      {"unregister handle 0", a, 0, 0, nullptr, ERROR_GEN_FAILURE},
      {"unregister slot 2", a, 0, 2, e1, ERROR_INVALID_PARAMETER},
      {"register slot 1", b, 1, 1, e2, ERROR_SUCCESS},
  };
  for (const Step& s : steps) {
    IoctlResult r = call(s.handle, s.reg, s.slot, s.event);
    EXPECT_EQ(r.error, s.error) << s.what;
  }

  chip_->RaiseNsEvent(kEventMonitorStatus0);
  EXPECT_TRUE(WaitFor([&] { return KeReadStateEvent(event1) != 0; }));
  EXPECT_EQ(KeReadStateEvent(event2), 0) << "slot 1 had no event bit";
  chip_->RaiseNsEvent(kEventMonitorStatus1);
  EXPECT_TRUE(WaitFor([&] { return KeReadStateEvent(event2) != 0; }));

  // The owner unregisters slot 0; closing b releases slot 1, so both take new events.
  EXPECT_TRUE(call(a, 0, 0, e1).ok);
  Close(b);
  EXPECT_EQ(station_->UserEvents[1].Event, nullptr);
  EXPECT_TRUE(call(a, 1, 1, e1).ok);
  EXPECT_TRUE(call(a, 1, 0, e2).ok);
  Close(a);
  EXPECT_EQ(station_->UserEvents[0].Event, nullptr);
  EXPECT_EQ(station_->UserEvents[1].Event, nullptr);
  ZwClose(e1);
  ZwClose(e2);
}

struct RemapCase {
  const char* name;
  UCHAR view;
  UCHAR request;
  USHORT length;   // data bytes
  int sent;        // the request the chip gets, -1 none
};
void PrintTo(const RemapCase& c, std::ostream* os) { *os << c.name; }

class CursorRemapTest : public ControlTest, public ::testing::WithParamInterface<RemapCase> {};

TEST_P(CursorRemapTest, ReachesTheViewsCursor) {
  const RemapCase& c = GetParam();
  ASSERT_NE(Start(Profile(8)), nullptr);
  HANDLE h = Open(u"\\display");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  UCHAR in[8] = {c.view, c.request};
  StoreLe16(in + 2, 1);   // wValue: a position x, a show or shape slot, an output
  StoreLe16(in + 4, 0);   // wIndex: a position y, shown, or the shape offset
  StoreLe16(in + 6, c.length);
  std::vector<UCHAR> data(c.length ? c.length : 1);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<UCHAR>(0x40 + i);
  chip_->log().Clear();
  IoctlResult r = Ioctl(h, IOCTL_OP_CONTROL_TRANSFER, in, 8, c.length ? data.data() : nullptr,
                        c.length);
  std::vector<chip::LoggedRequest> log = chip_->log().VendorRequests();
  if (c.sent < 0) {
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, ERROR_GEN_FAILURE);
    EXPECT_TRUE(log.empty());
    return;
  }
  EXPECT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.bytes, std::min<DWORD>(8, c.length)) << "within the output";
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].setup.bRequest, c.sent);
  EXPECT_EQ(log[0].setup.bmRequestType, kVendorRequestTypeOut);
  EXPECT_EQ(log[0].setup.wValue, 1);
  EXPECT_EQ(log[0].setup.wLength, c.length);
  EXPECT_EQ(log[0].data, std::vector<uint8_t>(data.begin(), data.begin() + c.length));
  const int view = c.sent == ReqCursorPosition1 || c.sent == ReqCursorShape1 ||
                   c.sent == ReqCursorShow1;
  chip::ViewSettings v = chip_->View(view);
  if (c.sent == ReqCursorPosition0 || c.sent == ReqCursorPosition1) {
    EXPECT_EQ(v.cursor_x, 1);
  }
  if (c.sent == ReqCursorShape0 || c.sent == ReqCursorShape1) {
    EXPECT_EQ(v.cursor_shapes[1], std::vector<uint8_t>(data.begin(), data.end()));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Requests, CursorRemapTest,
    ::testing::Values(RemapCase{"View0PositionAsGiven", 0, ReqCursorPosition0, 0, ReqCursorPosition0},
                      RemapCase{"View0AnyRequestAsGiven", 0, ReqSetOutput, 0, ReqSetOutput},
                      RemapCase{"View1Position", 1, ReqCursorPosition0, 0, ReqCursorPosition1},
                      RemapCase{"View1Show", 1, ReqCursorShow0, 0, ReqCursorShow1},
                      RemapCase{"View1Shape", 1, ReqCursorShape0, 64, ReqCursorShape1},
                      RemapCase{"View2ShapeGoesToView1", 2, ReqCursorShape0, 4, ReqCursorShape1},
                      RemapCase{"View1OtherRequestRefused", 1, ReqSetOutput, 0, -1},
                      RemapCase{"View1AlreadyView1Refused", 1, ReqCursorShape1, 4, -1}),
    [](const ::testing::TestParamInfo<RemapCase>& info) { return info.param.name; });

class UserMessageTest : public ControlTest {};

TEST_F(UserMessageTest, AFrameReachesTheChipAndOthersAreAnsweredAtOnce) {
  ASSERT_NE(Start(Profile(8)), nullptr);
  HANDLE h = Open(u"\\display");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  UCHAR in[8] = {};
  std::vector<UCHAR> frame = FrameMessage(4, 2, 1);
  IoctlResult r = Ioctl(h, IOCTL_OP_SEND_MESSAGE, in, 8, frame.data(), ULONG(frame.size()));
  EXPECT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.bytes, 0u) << "completed by the pipe, with Information 0";
  ASSERT_TRUE(WaitFor([&] { return chip_->station_bulk_out().Completed(0) == 1; }));
  std::vector<chip::BusMessage> got = chip_->station_bulk_out().Delivered(0);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].payload, std::vector<uint8_t>(frame.begin() + 32, frame.end()));
  EXPECT_TRUE(WaitFor([&] { return chip_->frames().FullFrames(0) == 1; }));
  EXPECT_EQ(chip_->violations().Count(), 0u);

  struct Refusal {
    const char* what;
    std::vector<UCHAR> message;
    ULONG length;
    DWORD error;
  };
  std::vector<UCHAR> audio = frame, network = frame, short_frame = frame, beyond = frame;
  StoreLe32(audio.data(), ToWire(BusMessageType::Audio));
  StoreLe32(network.data(), ToWire(BusMessageType::Network));
  StoreLe32(short_frame.data() + 4, 40);
  StoreLe32(beyond.data() + 4, ULONG(frame.size()) - 31);
  const Refusal cases[] = {
      {"audio: success, nothing sent", audio, ULONG(audio.size()), ERROR_SUCCESS},
      {"network: refused", network, ULONG(network.size()), ERROR_GEN_FAILURE},
      {"a display message without a whole descriptor", short_frame, 72, ERROR_INVALID_PARAMETER},
      {"a payload beyond the buffer", beyond, ULONG(beyond.size()), ERROR_INVALID_PARAMETER},
      {"shorter than a header", frame, 31, ERROR_INVALID_PARAMETER},
  };
  const size_t sent = chip_->log().CountEndpoint(kBulkOutEndpoint);
  for (const Refusal& c : cases) {
    std::vector<UCHAR> m = c.message;
    r = Ioctl(h, IOCTL_OP_SEND_MESSAGE, in, 8, m.data(), c.length);
    EXPECT_EQ(r.error, c.error) << c.what;
  }
  EXPECT_EQ(chip_->log().CountEndpoint(kBulkOutEndpoint), sent);
  EXPECT_EQ(chip_->station_bulk_out().Completed(3), 0u);
}

TEST_F(UserMessageTest, AHandleClosedWhileItsMessagePendsClosesWhenThePipeIsDone) {
  ASSERT_NE(Start(Profile(8)), nullptr);
  HANDLE h = Open(u"\\display");
  HANDLE other = Open(u"");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  chip_->script().OnEndpoint(kBulkOutEndpoint, {chip::ScriptKind::kTimeOut, 1});
  std::vector<UCHAR> frame = FrameMessage(4, 2, 1);
  IoctlResult result;
  std::thread caller([&] {
    UCHAR in[8] = {};
    result = Ioctl(h, IOCTL_OP_SEND_MESSAGE, in, 8, frame.data(), ULONG(frame.size()));
  });
  ASSERT_TRUE(WaitFor([&] { return chip_->HeldTransfers() > 0; }));
  Close(h);
  // The handle is gone, its file is not: the message's request still holds it.
  EXPECT_EQ(OpenCount(), 2u);
  EXPECT_NE(station_->Sessions[0].BoundFile, nullptr);
  DWORD error = 0;
  EXPECT_EQ(Open(u"\\display", &error), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
  UCHAR version[40];
  EXPECT_TRUE(Ioctl(other, IOCTL_OP_DDI_GET_DDI_VERSION, nullptr, 0, version, 40).ok);

  chip_->Unplug();  // the held transfer ends, and with it the message
  caller.join();
  EXPECT_FALSE(result.ok);
  EXPECT_TRUE(WaitFor([&] { return OpenCount() == 1; }));
  EXPECT_EQ(station_->Sessions[0].BoundFile, nullptr);
}

TEST_F(UserMessageTest, ACancelledMessageCompletesCancelledOnceThePipeLetsGo) {
  ASSERT_NE(Start(Profile(8)), nullptr);
  FILE_OBJECT* file = nullptr;
  ASSERT_EQ(kernel::io::Open(Path(u"\\display"), &file), STATUS_SUCCESS);
  chip_->script().OnEndpoint(kBulkOutEndpoint, {chip::ScriptKind::kTimeOut, 1});
  std::vector<UCHAR> frame = FrameMessage(4, 2, 1);
  UCHAR in[8] = {};
  auto request = kernel::io::Request::DeviceControl(file, IOCTL_OP_SEND_MESSAGE, in, 8,
                                                    frame.data(), ULONG(frame.size()));
  EXPECT_EQ(request->dispatch_status(), STATUS_PENDING);
  ASSERT_TRUE(WaitFor([&] { return chip_->HeldTransfers() > 0; }));
  request->Cancel();
  EXPECT_FALSE(request->Wait(clock::Duration(0))) << "the pipe still reads the caller's buffer";
  chip_->Unplug();
  ASSERT_TRUE(request->Wait(std::chrono::seconds(3000)));
  EXPECT_EQ(request->status(), STATUS_CANCELLED);
  EXPECT_EQ(request->information(), 0u);
  kernel::io::Close(file);
}

}  // namespace
}  // namespace vorn::station::testing
