// The station's bulk-OUT pipe on a started station over the chip model, which reassembles
// what arrives per channel and counts every protocol violation. A gate between the bus and
// the chip can hold bulk OUT transfers, so a test can line up requests behind one in flight.
#include <gtest/gtest.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "protocol/bus_message.h"
#include "protocol/byte_order.h"
#include "sim/chip/chip.h"
#include "station/driver_globals.h"
#include "station/pipes/bulk_out_pipe.h"
#include "tests/station/station_machine.h"

namespace vorn::station::testing {
namespace {

namespace pnp = kernel::pnp;
using chip::Chip;
using protocol::BusMessageHeader;

constexpr uint8_t kBulkOut = 0x02;
constexpr ULONG kTypeDisplay = 0, kTypeAudio = 3, kTypeCamera = 4, kTypeRom = 5, kTypeStorage = 6,
                kTypeTwoPlane = 7;

template <class F>
bool Eventually(F done) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return done();
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

// Between the bus and the chip: passes everything on, except that bulk OUT transfers wait
// while the gate is closed. Records every bulk OUT transfer as the chip got it.
class GatedDevice : public usb::UsbDevice {
 public:
  explicit GatedDevice(Chip& chip) : chip_(chip) {}

  void Submit(usb::Transfer& t) override {
    if (t.endpoint == kBulkOut) {
      std::unique_lock<std::mutex> guard(lock_);
      if (closed_) {
        held_.push_back(&t);
        return;
      }
      Record(t);
    }
    chip_.Submit(t);
  }
  bool Cancel(usb::Transfer& t) override {
    bool held = false, now = false;
    {
      std::lock_guard<std::mutex> guard(lock_);
      auto it = std::find(held_.begin(), held_.end(), &t);
      if (it != held_.end()) {
        held = true;
        ++cancels_;
        if (complete_cancels_) {
          held_.erase(it);
          now = true;
        } else {
          cancel_requested_.push_back(&t);  // ends only when the gate opens
        }
      }
    }
    if (!held) return chip_.Cancel(t);
    if (now) {
      t.status = usb::TransferStatus::kCancelled;
      t.actual = 0;
      t.complete(t);
    }
    return true;
  }
  void ResetEndpoint(uint8_t endpoint) override { chip_.ResetEndpoint(endpoint); }
  bool Connected() const override { return chip_.Connected(); }

  void Close() {
    std::lock_guard<std::mutex> guard(lock_);
    closed_ = true;
  }
  // Opens the gate: held transfers reach the chip in order (a cancelled one ends cancelled).
  void Open() {
    std::deque<usb::Transfer*> held;
    {
      std::lock_guard<std::mutex> guard(lock_);
      closed_ = false;
      held.swap(held_);
    }
    for (usb::Transfer* t : held) {
      bool cancelled;
      {
        std::lock_guard<std::mutex> guard(lock_);
        cancelled = std::find(cancel_requested_.begin(), cancel_requested_.end(), t) !=
                    cancel_requested_.end();
        if (!cancelled) Record(*t);
        events_.push_back(cancelled ? "released cancelled" : "released");
      }
      if (cancelled) {
        t->status = usb::TransferStatus::kCancelled;
        t->actual = 0;
        t->complete(*t);
      } else {
        chip_.Submit(*t);
      }
    }
  }
  // The device ends the oldest held transfer as cancelled, on its own.
  void EndHeldCancelled() {
    usb::Transfer* t = nullptr;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (held_.empty()) return;
      t = held_.front();
      held_.pop_front();
    }
    t->status = usb::TransferStatus::kCancelled;
    t->actual = 0;
    t->complete(*t);
  }
  // Cancels of held transfers complete them at once (the default) or only when the gate opens.
  void CompleteCancelsAtOnce(bool on) { complete_cancels_ = on; }

  size_t Held() const {
    std::lock_guard<std::mutex> guard(lock_);
    return held_.size();
  }
  int Cancels() const {
    std::lock_guard<std::mutex> guard(lock_);
    return cancels_;
  }
  std::vector<std::vector<uint8_t>> Sent() const {
    std::lock_guard<std::mutex> guard(lock_);
    return sent_;
  }
  void Event(const char* what) {
    std::lock_guard<std::mutex> guard(lock_);
    events_.push_back(what);
  }
  std::vector<std::string> Events() const {
    std::lock_guard<std::mutex> guard(lock_);
    return events_;
  }

 private:
  void Record(const usb::Transfer& t) { sent_.emplace_back(t.buffer, t.buffer + t.length); }

  Chip& chip_;
  mutable std::mutex lock_;
  bool closed_ = false;
  bool complete_cancels_ = true;
  int cancels_ = 0;
  std::deque<usb::Transfer*> held_;
  std::vector<usb::Transfer*> cancel_requested_;
  std::vector<std::vector<uint8_t>> sent_;
  std::vector<std::string> events_;
};

struct Done {
  ULONG id, header_bytes, data_bytes;
  NTSTATUS status;
  ULONG usbd;
};

// Every completion routine call, by request id.
class Completions {
 public:
  static void Routine(PVOID context, IRP*, ULONG id, ULONG header_bytes, ULONG data_bytes,
                      NTSTATUS status, ULONG usbd) {
    auto* self = static_cast<Completions*>(context);
    std::lock_guard<std::mutex> guard(self->lock_);
    self->all_.push_back({id, header_bytes, data_bytes, status, usbd});
    if (self->on_done_) self->on_done_(id);
  }
  size_t Count() const {
    std::lock_guard<std::mutex> guard(lock_);
    return all_.size();
  }
  size_t CountOf(ULONG id) const {
    std::lock_guard<std::mutex> guard(lock_);
    size_t n = 0;
    for (const Done& d : all_) n += d.id == id;
    return n;
  }
  Done Of(ULONG id) const {
    std::lock_guard<std::mutex> guard(lock_);
    for (const Done& d : all_)
      if (d.id == id) return d;
    return Done{0, 0, 0, STATUS_PENDING, 0};
  }
  std::vector<Done> All() const {
    std::lock_guard<std::mutex> guard(lock_);
    return all_;
  }
  void OnDone(std::function<void(ULONG)> f) {
    std::lock_guard<std::mutex> guard(lock_);
    on_done_ = std::move(f);
  }

 private:
  mutable std::mutex lock_;
  std::vector<Done> all_;
  std::function<void(ULONG)> on_done_;
};

BusMessageHeader Header(ULONG type, ULONG total, ULONG slice_offset = 0, ULONG address = 0x1000) {
  BusMessageHeader h{};
  h.Type = type;
  h.TotalLength = total;
  h.Address = address;
  if (type != kTypeTwoPlane) {
    h.Slice.SliceLength = total;
    h.Slice.SliceOffset = slice_offset;
  } else {
    h.TwoPlane.Width = 64;
    h.TwoPlane.Height = 10;
  }
  return h;
}

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    v[i] = static_cast<uint8_t>(x >> 24);
  }
  return v;
}

struct PipeSetup {
  bool usb3 = true;
  ULONG active_functions = 2;
  bool forced_slicing = false;
  std::function<void()> before_attach;  // runs after the driver loaded, before the adapter starts
  usb::BusOptions bus{};
};

class BulkOutPipeTest : public StationMachineTest {
 protected:
  void Start(const PipeSetup& s) {
    // The tests set the active function count themselves: no discovery may count the chip's.
    const ULONG no_children = 0;
    SetParameter(u"SupportPDOs", REG_DWORD, &no_children, sizeof no_children);
    if (s.forced_slicing) {
      UCHAR one = 1;
      SetParameter(u"ForcedSlicing", REG_BINARY, &one, 1);
    }
    Boot();
    if (s.before_attach) s.before_attach();
    chip::ProfileOptions options;
    options.usb3 = s.usb3;
    chip_ = std::make_unique<Chip>(chip::MakeProfile(options));
    chip_->UseStationBulkOut(true);
    gate_ = std::make_unique<GatedDevice>(*chip_);
    bus_ = std::make_unique<usb::UsbBus>(s.bus);
    node_ = Attach(*gate_);
    ASSERT_NE(node_, nullptr);
    station_ = Ext(node_);
    ASSERT_NE(station_, nullptr);
    __atomic_store_n(&station_->ActiveFunctionCount, s.active_functions, __ATOMIC_SEQ_CST);
    ops_ = station_->Pipes[kBulkOutPipe];
    ASSERT_NE(ops_.Object, nullptr);
    ASSERT_NE(ops_.WriteAsync, nullptr);
  }

  void TearDown() override {
    bus_.reset();
    StationMachineTest::TearDown();
    gate_.reset();
    chip_.reset();
  }

  NTSTATUS Write(const BusMessageHeader* h, const std::vector<uint8_t>& data, ULONG* id,
                 ULONG length = 0) {
    return ops_.WriteAsync(ops_.Object, h, h ? 32 : 0, data.data(),
                           length ? length : static_cast<ULONG>(data.size()), id,
                           Completions::Routine, &done_, nullptr);
  }
  // A whole message in one request; returns its id. The pipe reads the data in place until
  // the request completes, so the fixture keeps it.
  ULONG Send(ULONG type, std::vector<uint8_t> bytes) {
    const std::vector<uint8_t>& data = *kept_.emplace_back(
        std::make_unique<std::vector<uint8_t>>(std::move(bytes)));
    BusMessageHeader h = Header(type, static_cast<ULONG>(data.size()));
    ULONG id = 0;
    EXPECT_EQ(Write(&h, data, &id), STATUS_PENDING);
    return id;
  }
  bool WaitDone(ULONG id) {
    return Eventually([&] { return done_.CountOf(id) > 0; });
  }
  bool WaitHeld(size_t n) {
    return Eventually([&] { return gate_->Held() >= n; });
  }
  std::vector<ULONG> SliceChannels() const {
    std::vector<ULONG> out;
    for (const auto& s : chip_->station_bulk_out().Slices()) out.push_back(s.channel);
    return out;
  }
  // What the chip found wrong on the wire (the frame store's own checks of display payloads
  // are not the pipe's business: these tests send arbitrary bytes).
  void ExpectNoViolations() {
    for (const std::string& v : chip_->violations().Messages())
      if (v.rfind("frame:", 0) != 0) ADD_FAILURE() << v;
  }

  std::unique_ptr<Chip> chip_;
  std::unique_ptr<GatedDevice> gate_;
  pnp::DevNode* node_ = nullptr;
  StationExtension* station_ = nullptr;
  PipeOps ops_{};
  Completions done_;
  std::vector<std::unique_ptr<std::vector<uint8_t>>> kept_;
};

// --- Slicing -----------------------------------------------------------------------------

struct SlicingCase {
  const char* name;
  bool usb3;
  ULONG active_functions;
  bool forced;
  ULONG zero_slice_setting;  // 1: the channel's slice size setting is 0
  ULONG length;
  std::vector<ULONG> slices;
};
// Printed by name: the raw bytes hold pointers and change from build to build.
void PrintTo(const SlicingCase& c, std::ostream* os) { *os << c.name; }


class BulkOutSlicingTest : public BulkOutPipeTest,
                           public ::testing::WithParamInterface<SlicingCase> {};

TEST_P(BulkOutSlicingTest, MessageGoesOutInSlicesOfItsChannel) {
  const SlicingCase& c = GetParam();
  PipeSetup s;
  s.usb3 = c.usb3;
  s.active_functions = c.active_functions;
  s.forced_slicing = c.forced;
  if (c.zero_slice_setting)
    s.before_attach = [] {
      g_StationGlobals->MaxSliceSizeHS[0] = 0;
      g_StationGlobals->MaxSliceSizeSS[0] = 0;
    };
  ASSERT_NO_FATAL_FAILURE(Start(s));
  auto data = Pattern(c.length, 7);
  ULONG id = Send(kTypeDisplay, data);
  ASSERT_TRUE(WaitDone(id));
  Done d = done_.Of(id);
  EXPECT_EQ(d.status, STATUS_SUCCESS);
  EXPECT_EQ(d.usbd, 0u);
  EXPECT_EQ(d.header_bytes, 32u);
  EXPECT_EQ(d.data_bytes, c.length);

  auto slices = chip_->station_bulk_out().Slices();
  ASSERT_EQ(slices.size(), c.slices.size());
  ULONG offset = 0;
  for (size_t i = 0; i < slices.size(); ++i) {
    EXPECT_EQ(slices[i].channel, 0u);
    EXPECT_EQ(slices[i].slice_length, c.slices[i]) << i;
    EXPECT_EQ(slices[i].slice_offset, offset) << i;
    EXPECT_EQ(slices[i].more, i + 1 < slices.size()) << i;
    EXPECT_EQ(slices[i].total, c.length);
    offset += c.slices[i];
  }
  auto delivered = chip_->station_bulk_out().Delivered(0);
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0].payload, data);
  EXPECT_EQ(done_.Count(), 1u);
  ExpectNoViolations();
}

std::vector<ULONG> Slices(ULONG size, ULONG length) {
  std::vector<ULONG> out;
  for (; length > size; length -= size) out.push_back(size);
  out.push_back(length);
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Table, BulkOutSlicingTest,
    ::testing::Values(
        SlicingCase{"usb2_two_functions", false, 2, false, 0, 300000, Slices(25600, 300000)},
        SlicingCase{"usb3_two_functions", true, 2, false, 0, 300000, Slices(102400, 300000)},
        SlicingCase{"usb3_one_function_whole", true, 1, false, 0, 300000, {300000}},
        SlicingCase{"usb2_one_function_forced", false, 1, true, 0, 300000, Slices(25600, 300000)},
        SlicingCase{"usb3_exact_slices", true, 2, false, 0, 204800, {102400, 102400}},
        SlicingCase{"usb3_one_byte", true, 2, false, 0, 1, {1}},
        // Larger than one transfer: the pieces of at most MaximumTransferSize follow each other.
        SlicingCase{"usb3_one_function_over_transfer_size", true, 1, false, 0, 0x280000, {0x280000}},
        SlicingCase{"slice_setting_zero_keeps_default", true, 2, false, 1, 300000,
                    Slices(102400, 300000)}),
    [](const auto& info) { return std::string(info.param.name); });

// The display child passes a message on in pieces, each with the caller's header and the
// piece's offset: every slice of a piece that does not end the message announces more.
TEST_F(BulkOutPipeTest, PiecesWithAnOffsetKeepMoreSlicesUntilTheMessageEnds) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  auto data = Pattern(60000, 3);
  const ULONG total = 60000;
  struct Piece {
    ULONG offset, length;
  } pieces[] = {{0, 1000}, {1000, 30000}, {31000, 29000}};
  for (const Piece& p : pieces) {
    BusMessageHeader h = Header(kTypeDisplay, total, p.offset);
    std::vector<uint8_t> part(data.begin() + p.offset, data.begin() + p.offset + p.length);
    ULONG id = 0;
    ASSERT_EQ(Write(&h, part, &id), STATUS_PENDING);
    ASSERT_TRUE(WaitDone(id));
    EXPECT_EQ(done_.Of(id).status, STATUS_SUCCESS);
    EXPECT_EQ(done_.Of(id).data_bytes, p.length);
  }
  auto slices = chip_->station_bulk_out().Slices();
  ASSERT_EQ(slices.size(), 3u);  // each piece is below the slice size
  EXPECT_TRUE(slices[0].more);
  EXPECT_EQ(slices[1].slice_offset, 1000u);
  EXPECT_TRUE(slices[1].more);  // its last slice, yet the message goes on
  EXPECT_EQ(slices[2].slice_offset, 31000u);
  EXPECT_FALSE(slices[2].more);
  auto delivered = chip_->station_bulk_out().Delivered(0);
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0].payload, data);
  ExpectNoViolations();
}

// --- Requests that are refused -------------------------------------------------------------

TEST_F(BulkOutPipeTest, RefusedRequestsCompleteNothingAndQueueNothing) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  std::vector<uint8_t> data(100, 1);
  BusMessageHeader display = Header(kTypeDisplay, 100);
  BusMessageHeader type1 = Header(1, 100);
  BusMessageHeader type8 = Header(8, 100);
  struct Case {
    const char* what;
    const BusMessageHeader* header;
    ULONG header_length;
    const void* data;
    ULONG length;
    NTSTATUS expected;
  } cases[] = {
      {"header without data", &display, 32, nullptr, 100, STATUS_INVALID_PARAMETER},
      {"header with zero length", &display, 32, data.data(), 0, STATUS_INVALID_PARAMETER},
      {"short header", &display, 16, data.data(), 100, STATUS_INVALID_PARAMETER},
      {"headerless without data", nullptr, 0, nullptr, 100, STATUS_INVALID_PARAMETER},
      {"headerless with zero length", nullptr, 0, data.data(), 0, STATUS_INVALID_PARAMETER},
      {"type 1 has no channel", &type1, 32, data.data(), 100, STATUS_INSUFFICIENT_RESOURCES},
      {"type 8 has no channel", &type8, 32, data.data(), 100, STATUS_INSUFFICIENT_RESOURCES},
  };
  for (const Case& c : cases) {
    ULONG id = 0xFFFF;
    EXPECT_EQ(ops_.WriteAsync(ops_.Object, c.header, c.header_length, c.data, c.length, &id,
                              Completions::Routine, &done_, nullptr),
              c.expected)
        << c.what;
  }
  EXPECT_EQ(ops_.WriteAsync(nullptr, &display, 32, data.data(), 100, nullptr,
                            Completions::Routine, &done_, nullptr),
            STATUS_INVALID_PARAMETER);
  ULONG usbd = 0;
  EXPECT_EQ(ops_.WriteAndWait(nullptr, &display, 32, nullptr, data.data(), 100, nullptr, nullptr,
                              &usbd),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(usbd, 0x80000300u);
  usbd = 0;
  EXPECT_EQ(ops_.WriteAndWait(ops_.Object, &type1, 32, nullptr, data.data(), 100, nullptr,
                              nullptr, &usbd),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(usbd, 0xC0000013u);
  // A request sent afterwards is the only one the chip ever sees.
  ULONG id = Send(kTypeDisplay, data);
  ASSERT_TRUE(WaitDone(id));
  EXPECT_EQ(done_.Count(), 1u);
  EXPECT_EQ(chip_->station_bulk_out().Slices().size(), 1u);
  ExpectNoViolations();
}

// A request whose third slice finds no descriptor fails whole, with nothing of it queued, and
// the descriptors it had taken serve the next request.
TEST_F(BulkOutPipeTest, FailedSliceAllocationFailsTheWholeRequest) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  auto data = Pattern(300000, 5);
  kernel::pool::FailNthAllocation(PoolTag("epmx"), 3);
  BusMessageHeader h = Header(kTypeDisplay, 300000);
  ULONG id = 0;
  EXPECT_EQ(Write(&h, data, &id), STATUS_INSUFFICIENT_RESOURCES);
  kernel::pool::FailNthAllocation(PoolTag("epmx"), 0);
  ULONG next = Send(kTypeDisplay, data);
  ASSERT_TRUE(WaitDone(next));
  EXPECT_EQ(done_.Of(next).status, STATUS_SUCCESS);
  EXPECT_EQ(done_.Count(), 1u);
  EXPECT_EQ(chip_->station_bulk_out().Completed(0), 1u);
  EXPECT_EQ(kernel::pool::Outstanding(PoolTag("epmx")).blocks, 3);
  ExpectNoViolations();
}

TEST_F(BulkOutPipeTest, WriteAndWaitReportsWhatWasSent) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  auto data = Pattern(250000, 9);
  BusMessageHeader h = Header(kTypeRom, 250000);
  ULONG header_bytes = 0, data_bytes = 0, usbd = 0xFFFFFFFF;
  EXPECT_EQ(ops_.WriteAndWait(ops_.Object, &h, 32, &header_bytes, data.data(), 250000,
                              &data_bytes, nullptr, &usbd),
            STATUS_SUCCESS);
  EXPECT_EQ(header_bytes, 32u);
  EXPECT_EQ(data_bytes, 250000u);
  EXPECT_EQ(usbd, 0u);
  auto rom = chip_->station_bulk_out().Delivered(5);
  ASSERT_EQ(rom.size(), 1u);
  EXPECT_EQ(rom[0].payload, data);
  EXPECT_EQ(rom[0].slices, 1u);  // the ROM channel is not sliced
  ExpectNoViolations();
}

// --- Priorities --------------------------------------------------------------------------

// With one transfer held at the device, requests of several priorities queue up; they go out
// highest priority first and first in, first out within one priority. A priority setting
// above the highest queue is taken as the highest.
TEST_F(BulkOutPipeTest, HigherPrioritiesGoFirstAndOnePriorityInOrder) {
  PipeSetup s;
  s.before_attach = [] { g_StationGlobals->PriorityLevel[kTypeCamera] = 9; };
  ASSERT_NO_FATAL_FAILURE(Start(s));
  gate_->Close();
  ULONG plug = Send(kTypeRom, Pattern(100, 1));
  ASSERT_TRUE(WaitHeld(1));
  std::vector<ULONG> ids = {
      Send(kTypeStorage, Pattern(100, 2)),  // 1
      Send(kTypeDisplay, Pattern(100, 3)),  // 2
      Send(kTypeAudio, Pattern(100, 4)),    // 4
      Send(kTypeCamera, Pattern(100, 5)),   // 9, served as 4
      Send(kTypeStorage, Pattern(100, 6)),  // 1
      Send(kTypeDisplay, Pattern(100, 7)),  // 2
  };
  gate_->Open();
  ASSERT_TRUE(WaitDone(plug));
  for (ULONG id : ids) {
    ASSERT_TRUE(WaitDone(id));
    EXPECT_EQ(done_.Of(id).status, STATUS_SUCCESS);
  }
  EXPECT_EQ(SliceChannels(), (std::vector<ULONG>{5, 3, 4, 0, 0, 6, 6}));
  auto storage = chip_->station_bulk_out().Delivered(6);
  ASSERT_EQ(storage.size(), 2u);
  EXPECT_EQ(storage[0].payload, Pattern(100, 2));
  EXPECT_EQ(storage[1].payload, Pattern(100, 6));
  ExpectNoViolations();
}

// --- Two-plane messages ------------------------------------------------------------------

// A two-plane message sent as its header with the first 4096 bytes and two headerless pieces
// stays in one piece on the wire, although audio (the highest priority) was queued beside it.
TEST_F(BulkOutPipeTest, TwoPlaneMessageStaysContiguousBesideAudio) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  auto payload = Pattern(10000, 11);
  std::vector<uint8_t> first(payload.begin(), payload.begin() + 4096);
  std::vector<uint8_t> second(payload.begin() + 4096, payload.begin() + 8192);
  std::vector<uint8_t> third(payload.begin() + 8192, payload.end());
  gate_->Close();
  BusMessageHeader h = Header(kTypeTwoPlane, 10000);
  ULONG head = 0, p2 = 0, p3 = 0;
  ASSERT_EQ(Write(&h, first, &head), STATUS_PENDING);
  ASSERT_TRUE(WaitHeld(1));  // the header is on the wire
  ULONG audio = Send(kTypeAudio, Pattern(500, 12));
  ASSERT_EQ(Write(nullptr, second, &p2), STATUS_PENDING);
  ASSERT_EQ(Write(nullptr, third, &p3), STATUS_PENDING);
  gate_->Open();
  for (ULONG id : {head, p2, p3, audio}) {
    ASSERT_TRUE(WaitDone(id));
    EXPECT_EQ(done_.Of(id).status, STATUS_SUCCESS);
  }
  EXPECT_EQ(done_.Of(head).header_bytes, 32u);
  EXPECT_EQ(done_.Of(p2).header_bytes, 0u);
  EXPECT_EQ(done_.Of(p3).data_bytes, 1808u);
  auto planes = chip_->station_bulk_out().Delivered(7);
  ASSERT_EQ(planes.size(), 1u);
  EXPECT_EQ(planes[0].payload, payload);
  EXPECT_EQ(SliceChannels(), (std::vector<ULONG>{7, 3}));
  EXPECT_EQ(chip_->station_bulk_out().TwoPlaneBreaks(), 0u);

  // With no two-plane message open, a headerless write is display data on channel 0: here a
  // whole message a producer framed itself.
  auto framed = Pattern(32 + 300, 13);
  BusMessageHeader inner = Header(kTypeDisplay, 300);
  std::memcpy(framed.data(), &inner, 32);
  ULONG raw = 0;
  ASSERT_EQ(Write(nullptr, framed, &raw), STATUS_PENDING);
  ASSERT_TRUE(WaitDone(raw));
  EXPECT_EQ(done_.Of(raw).status, STATUS_SUCCESS);
  ASSERT_EQ(chip_->station_bulk_out().Completed(0), 1u);
  ExpectNoViolations();
}

// A two-plane message whose rest never comes, or whose header claims less than its first piece
// carries, must not leave the pipe serving the two-plane queue alone.
TEST_F(BulkOutPipeTest, BrokenTwoPlaneMessagesDoNotStopThePipe) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  // Header and 4096 of 10000 bytes; the producer then gives up and flushes the channel.
  BusMessageHeader h = Header(kTypeTwoPlane, 10000);
  ULONG head = 0;
  const auto first = Pattern(4096, 1);
  ASSERT_EQ(Write(&h, first, &head), STATUS_PENDING);
  ASSERT_TRUE(WaitDone(head));
  ops_.FlushChannel(ops_.Object, 7);
  ULONG audio = Send(kTypeAudio, Pattern(200, 2));
  ASSERT_TRUE(WaitDone(audio));
  EXPECT_EQ(done_.Of(audio).status, STATUS_SUCCESS);

  // A header whose total is smaller than the data that comes with it.
  BusMessageHeader small = Header(kTypeTwoPlane, 100);
  ULONG bad = 0;
  const auto oversized = Pattern(4096, 3);
  ASSERT_EQ(Write(&small, oversized, &bad), STATUS_PENDING);
  ASSERT_TRUE(WaitDone(bad));
  ULONG display = Send(kTypeDisplay, Pattern(200, 4));
  ASSERT_TRUE(WaitDone(display));
  EXPECT_EQ(done_.Of(display).status, STATUS_SUCCESS);
  // A later headerless write is not taken for the rest of a two-plane message.
  ULONG raw = 0;
  std::vector<uint8_t> framed(32 + 50, 5);
  BusMessageHeader inner = Header(kTypeDisplay, 50);
  std::memcpy(framed.data(), &inner, 32);
  ASSERT_EQ(Write(nullptr, framed, &raw), STATUS_PENDING);
  ASSERT_TRUE(WaitDone(raw));
  auto slices = chip_->station_bulk_out().Slices();
  ASSERT_FALSE(slices.empty());
  EXPECT_EQ(slices.back().channel, 0u);
  // The chip saw the broken messages for what they are.
  EXPECT_GT(chip_->violations().Count(), 0u);
}

// --- Flush -------------------------------------------------------------------------------

// Flushing a channel reports each of its requests once: a queued one at once, the one on the
// wire when its transfer has ended, which the flush cancels (a chip that never answers would
// otherwise hold the flush's caller for ever). No byte of a request is read after it was
// reported.
TEST_F(BulkOutPipeTest, FlushReportsEachRequestOnceAndSendsNothingAfterwards) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  gate_->Close();
  gate_->CompleteCancelsAtOnce(false);  // the held transfer ends only when the gate opens
  auto first = Pattern(300000, 21);
  ULONG on_wire = Send(kTypeDisplay, first);
  ASSERT_TRUE(WaitHeld(1));
  auto canary = std::make_unique<std::vector<uint8_t>>(200000, 0xC5);
  BusMessageHeader canary_header = Header(kTypeDisplay, 200000);
  ULONG queued = 0;
  ASSERT_EQ(Write(&canary_header, *canary, &queued), STATUS_PENDING);
  ULONG other = Send(kTypeAudio, Pattern(100, 22));  // another channel keeps its request

  ops_.FlushChannel(ops_.Object, 0);
  ASSERT_EQ(done_.CountOf(queued), 1u);
  Done q = done_.Of(queued);
  EXPECT_EQ(q.status, STATUS_CANCELLED);
  EXPECT_EQ(q.usbd, 0xC0010000u);
  EXPECT_EQ(q.data_bytes, 0u);
  EXPECT_EQ(gate_->Cancels(), 1) << "the flush cancels the transfer on the wire";
  EXPECT_EQ(done_.CountOf(on_wire), 0u);  // its transfer still holds its data
  canary.reset();                          // the producer may free what the pipe reported

  gate_->Open();
  ASSERT_TRUE(WaitDone(on_wire));
  ASSERT_TRUE(WaitDone(other));
  Done w = done_.Of(on_wire);
  EXPECT_EQ(w.status, STATUS_CANCELLED);
  EXPECT_EQ(w.data_bytes, 0u);  // its transfer ended cancelled, nothing of it sent
  EXPECT_EQ(done_.Of(other).status, STATUS_SUCCESS);
  // A second flush finds nothing to report.
  ops_.FlushChannel(ops_.Object, 0);
  ASSERT_TRUE(Eventually([&] { return done_.Count() == 3; }));
  for (ULONG id : {on_wire, queued, other}) EXPECT_EQ(done_.CountOf(id), 1u) << id;
  for (const auto& t : gate_->Sent()) {
    size_t run = 0;
    for (uint8_t b : t) {
      run = b == 0xC5 ? run + 1 : 0;
      ASSERT_LT(run, 64u) << "canary bytes reached the chip";
    }
  }
  EXPECT_EQ(SliceChannels(), (std::vector<ULONG>{3}));
}

// A chip that never answers the transfer on the wire: the flush's cancel ends it, and the
// channel's request is reported without the chip ever answering.
TEST_F(BulkOutPipeTest, FlushEndsATransferTheChipNeverAnswers) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  gate_->Close();
  ULONG on_wire = Send(kTypeAudio, Pattern(1000, 23));
  ASSERT_TRUE(WaitHeld(1));
  ops_.FlushChannel(ops_.Object, 3);
  ASSERT_TRUE(WaitDone(on_wire));
  EXPECT_EQ(done_.Of(on_wire).status, STATUS_CANCELLED);
  EXPECT_EQ(done_.CountOf(on_wire), 1u);
  // The pipe goes on: a cancelled transfer does not end the device.
  gate_->Open();
  ULONG next = Send(kTypeAudio, Pattern(100, 24));
  ASSERT_TRUE(WaitDone(next));
  EXPECT_EQ(done_.Of(next).status, STATUS_SUCCESS);
}

// A flush that cuts a slice on the wire (its header went, the chip holds its data) leaves the
// chip in the middle of a message: the pipe is reset before anything more is sent, so the
// next message is read from its own header instead of as the cut one's data.
TEST_F(BulkOutPipeTest, AMessageCutOnTheWireIsFollowedByAPipeReset) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  chip_->script().OnEndpoint(kBulkOut, {chip::ScriptKind::kNormal, 1});  // the header
  chip_->script().OnEndpoint(kBulkOut, {chip::ScriptKind::kTimeOut, 1});  // its data, held
  const uint32_t resets = chip_->EndpointResets(kBulkOut);
  ULONG cut = Send(kTypeAudio, Pattern(1000, 25));
  ASSERT_TRUE(Eventually([&] { return chip_->HeldTransfers() == 1; }));
  ops_.FlushChannel(ops_.Object, 3);
  ASSERT_TRUE(WaitDone(cut));
  EXPECT_EQ(done_.Of(cut).status, STATUS_CANCELLED);
  ULONG next = Send(kTypeAudio, Pattern(500, 26));
  ASSERT_TRUE(WaitDone(next));
  EXPECT_EQ(done_.Of(next).status, STATUS_SUCCESS);
  EXPECT_EQ(chip_->EndpointResets(kBulkOut), resets + 1);
  ASSERT_TRUE(Eventually([&] { return chip_->station_bulk_out().Completed(3) == 1; }))
      << "the message after the cut one reaches the chip whole";
  ExpectNoViolations();
}

// Withdrawing one request by its id leaves the others of its channel alone: a queued one is
// reported at once, the one on the wire when its transfer has ended, one that has ended not
// again.
TEST_F(BulkOutPipeTest, WithdrawingOneRequestLeavesTheOthersOfItsChannel) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  gate_->Close();
  ULONG on_wire = Send(kTypeDisplay, Pattern(1000, 31));
  ASSERT_TRUE(WaitHeld(1));
  ULONG withdrawn = Send(kTypeDisplay, Pattern(1000, 32));
  ULONG next = Send(kTypeDisplay, Pattern(1000, 33));

  bulk_out::WithdrawRequest(ops_.Object, 0, withdrawn);
  ASSERT_EQ(done_.CountOf(withdrawn), 1u);
  EXPECT_EQ(done_.Of(withdrawn).status, STATUS_CANCELLED);
  EXPECT_EQ(done_.CountOf(next), 0u);
  // The request on the wire: its transfer is cancelled (a chip that never answers would hold
  // the withdrawal for ever), and it is reported once that transfer has ended.
  bulk_out::WithdrawRequest(ops_.Object, 0, on_wire);
  ASSERT_TRUE(WaitDone(on_wire));
  EXPECT_EQ(done_.Of(on_wire).status, STATUS_CANCELLED);

  gate_->Open();
  ASSERT_TRUE(WaitDone(next));
  EXPECT_EQ(done_.Of(next).status, STATUS_SUCCESS);
  bulk_out::WithdrawRequest(ops_.Object, 0, next);  // ended: nothing more
  for (ULONG id : {on_wire, withdrawn, next}) EXPECT_EQ(done_.CountOf(id), 1u) << id;
  EXPECT_TRUE(WaitFor([&] { return chip_->station_bulk_out().Completed(0) == 1; }))
      << "only the request that was not withdrawn reached the chip whole";
  ExpectNoViolations();
}

// --- Device gone, disable ------------------------------------------------------------------

TEST_F(BulkOutPipeTest, DeviceGoneMidMessageEndsEveryRequestOnce) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  // The held ROM message goes first (header, data), then the display message's first slice;
  // its second slice header finds the device gone.
  chip_->script().OnEndpoint(kBulkOut, {chip::ScriptKind::kNormal, 4});
  chip_->script().OnEndpoint(kBulkOut, {chip::ScriptKind::kGone, 1});
  gate_->Close();
  ULONG plug = Send(kTypeRom, Pattern(64, 30));  // held: lines the others up
  ASSERT_TRUE(WaitHeld(1));
  ULONG message = Send(kTypeDisplay, Pattern(300000, 31));
  ULONG behind = Send(kTypeDisplay, Pattern(1000, 32));
  gate_->Open();
  for (ULONG id : {plug, message, behind}) ASSERT_TRUE(WaitDone(id)) << id;
  EXPECT_EQ(done_.Of(plug).status, STATUS_SUCCESS);
  Done m = done_.Of(message);
  EXPECT_EQ(m.status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(m.usbd, 0xC0007000u);
  EXPECT_EQ(m.data_bytes, 102400u);
  EXPECT_EQ(done_.Of(behind).status, STATUS_CANCELLED);
  EXPECT_EQ(done_.Count(), 3u);
  EXPECT_TRUE(ReadFlag(station_->DeviceGone));

  std::vector<uint8_t> data(10, 1);
  BusMessageHeader h = Header(kTypeDisplay, 10);
  ULONG id = 0;
  EXPECT_EQ(Write(&h, data, &id), STATUS_NO_SUCH_DEVICE);
  ULONG usbd = 0;
  EXPECT_EQ(ops_.WriteAndWait(ops_.Object, &h, 32, nullptr, data.data(), 10, nullptr, nullptr,
                              &usbd),
            STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(usbd, 0xC0007000u);
  EXPECT_EQ(done_.Count(), 3u);
  bus_->Detach(*gate_);
  pnp::WaitIdle();
}

// Disabling the pipe cancels the transfer on the wire and reports its request only once that
// transfer has ended, even when the device takes its time to end it.
TEST_F(BulkOutPipeTest, DisableWaitsForTheCancelledTransfer) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  gate_->Close();
  gate_->CompleteCancelsAtOnce(false);
  ULONG on_wire = Send(kTypeDisplay, Pattern(300000, 41));
  ASSERT_TRUE(WaitHeld(1));
  ULONG queued = Send(kTypeDisplay, Pattern(1000, 42));
  done_.OnDone([&](ULONG id) {
    if (id == on_wire) gate_->Event("completed");
  });
  std::atomic<bool> disabled{false};
  const int threads = kernel::RunningSystemThreads();
  std::thread disable([&] {
    ops_.Enable(ops_.Object, 0);
    gate_->Event("disabled");
    disabled = true;
  });
  ASSERT_TRUE(Eventually([&] { return gate_->Cancels() == 1; }));
  // The dispatcher thread has ended (its flush has run) before the device ends the transfer.
  ASSERT_TRUE(Eventually([&] { return kernel::RunningSystemThreads() == threads - 1; }));
  gate_->Open();  // the device ends the cancelled transfer now
  disable.join();
  EXPECT_TRUE(disabled);
  ASSERT_EQ(done_.CountOf(on_wire), 1u);
  ASSERT_EQ(done_.CountOf(queued), 1u);
  EXPECT_EQ(done_.Of(on_wire).status, STATUS_CANCELLED);
  EXPECT_EQ(done_.Of(queued).status, STATUS_CANCELLED);
  auto events = gate_->Events();
  // The pipe is disabled (and could be freed) only after the transfer it cancelled ended.
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0], "released cancelled");
  EXPECT_EQ(events[1], "completed");
  EXPECT_EQ(events[2], "disabled");
  ops_.Enable(ops_.Object, 1);  // enabled again, the pipe sends
  ULONG after = Send(kTypeAudio, Pattern(10, 43));
  ASSERT_TRUE(WaitDone(after));
  EXPECT_EQ(done_.Of(after).status, STATUS_SUCCESS);
}

// --- Transfers the device answers oddly ----------------------------------------------------

// A request whose transfer ends cancelled is reported once with that status; its later
// slices are not sent, since the producer owns its buffer again, and the pipe goes on.
TEST_F(BulkOutPipeTest, FailedRequestSendsNoFurtherSlices) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  gate_->Close();
  ULONG broken = Send(kTypeDisplay, Pattern(300000, 61));  // three slices
  ASSERT_TRUE(WaitHeld(1));
  ULONG audio = Send(kTypeAudio, Pattern(100, 62));
  gate_->EndHeldCancelled();
  gate_->Open();
  ASSERT_TRUE(WaitDone(broken));
  ASSERT_TRUE(WaitDone(audio));
  Done b = done_.Of(broken);
  EXPECT_EQ(b.status, STATUS_CANCELLED);
  EXPECT_EQ(b.usbd, 0xC0010000u);
  EXPECT_EQ(b.data_bytes, 0u);
  EXPECT_EQ(done_.Of(audio).status, STATUS_SUCCESS);
  ULONG after = Send(kTypeDisplay, Pattern(1000, 63));
  ASSERT_TRUE(WaitDone(after));
  EXPECT_EQ(done_.Of(after).status, STATUS_SUCCESS);
  EXPECT_EQ(SliceChannels(), (std::vector<ULONG>{3, 0}));
  EXPECT_EQ(done_.Count(), 3u);
  EXPECT_FALSE(ReadFlag(station_->DeviceGone));
  ExpectNoViolations();
}

TEST_F(BulkOutPipeTest, ShortTransfersContinueAndEmptyOnesEndTheRequest) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  // One transfer takes 10 bytes only: the rest follows on the same request.
  chip_->script().OnEndpoint(kBulkOut, {chip::ScriptKind::kNormal, 1});
  chip_->script().OnEndpoint(kBulkOut, {chip::ScriptKind::kShort, 1, 10});
  auto data = Pattern(5000, 51);
  ULONG id = Send(kTypeDisplay, data);
  ASSERT_TRUE(WaitDone(id));
  EXPECT_EQ(done_.Of(id).status, STATUS_SUCCESS);
  EXPECT_EQ(done_.Of(id).data_bytes, 5000u);
  auto delivered = chip_->station_bulk_out().Delivered(0);
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0].payload, data);
  ExpectNoViolations();

  // A device that takes nothing, time after time, ends the request with an error.
  chip_->script().OnEndpoint(kBulkOut, {chip::ScriptKind::kShort, chip::ScriptAction::kForever, 0});
  ULONG stuck = Send(kTypeAudio, Pattern(100, 52));
  ASSERT_TRUE(WaitDone(stuck));
  EXPECT_EQ(done_.Of(stuck).status, STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(done_.Of(stuck).data_bytes, 0u);
  EXPECT_FALSE(ReadFlag(station_->DeviceGone));
  chip_->script().Clear();
  ULONG next = Send(kTypeAudio, Pattern(100, 53));
  ASSERT_TRUE(WaitDone(next));
  EXPECT_EQ(done_.Of(next).status, STATUS_SUCCESS);
  EXPECT_EQ(done_.CountOf(stuck), 1u);
}

// --- Chaos ---------------------------------------------------------------------------------

struct ChaosCase {
  const char* name;
  int cancel_percent;
};
void PrintTo(const ChaosCase& c, std::ostream* os) { *os << c.name; }


class BulkOutChaosTest : public BulkOutPipeTest, public ::testing::WithParamInterface<ChaosCase> {};

// Producers on several threads write messages of three channels while the bus delays,
// shortens, completes inline and (in one case) cancels transfers. Every request is reported
// exactly once; without cancels every message reaches the chip whole.
TEST_P(BulkOutChaosTest, EveryRequestIsReportedOnce) {
  // Real time: the bus's delays come on top of a loaded machine's, and the start's 2 s
  // transfer time-outs must not fire while the bus is still delivering.
  clock::ScopedSpeed real_time(1);
  PipeSetup s;
  s.bus.chaos = true;
  s.bus.chaos_seed = 24;
  s.bus.chaos_max_delay_us = 100;
  s.bus.chaos_cancel_percent = GetParam().cancel_percent;
  ASSERT_NO_FATAL_FAILURE(Start(s));
  constexpr int kProducers = 3, kPerProducer = 40;
  const ULONG types[kProducers] = {kTypeDisplay, kTypeAudio, kTypeRom};
  std::vector<std::vector<std::vector<uint8_t>>> payloads(kProducers);
  std::vector<std::thread> threads;
  std::mutex ids_lock;
  std::vector<ULONG> ids;
  for (int p = 0; p < kProducers; ++p) {
    std::mt19937 rng(p + 1);
    for (int i = 0; i < kPerProducer; ++i)
      payloads[p].push_back(Pattern(1 + rng() % 250000, p * 1000 + i));
  }
  for (int p = 0; p < kProducers; ++p) {
    threads.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        const auto& data = payloads[p][i];
        BusMessageHeader h = Header(types[p], static_cast<ULONG>(data.size()));
        ULONG id = 0;
        NTSTATUS status = ops_.WriteAsync(ops_.Object, &h, 32, data.data(),
                                          static_cast<ULONG>(data.size()), &id,
                                          Completions::Routine, &done_, nullptr);
        ASSERT_EQ(status, STATUS_PENDING);
        {
          std::lock_guard<std::mutex> guard(ids_lock);
          ids.push_back(id);
        }
        // Keep a few requests of each producer in flight.
        if (i % 4 == 3) {
          ASSERT_TRUE(Eventually([&] { return done_.CountOf(id) == 1; }));
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_TRUE(Eventually([&] { return done_.Count() >= ids.size(); }));
  for (ULONG id : ids) EXPECT_EQ(done_.CountOf(id), 1u) << id;
  EXPECT_EQ(done_.Count(), ids.size());
  EXPECT_GT(bus_->Counters().chaos_delays, 0u);
  if (GetParam().cancel_percent == 0) {
    for (const Done& d : done_.All()) EXPECT_EQ(d.status, STATUS_SUCCESS);
    for (int p = 0; p < kProducers; ++p) {
      uint64_t bytes = 0;
      for (const auto& data : payloads[p]) bytes += data.size();
      ULONG channel = protocol::MessageTypeToChannel(types[p], false);
      EXPECT_EQ(chip_->station_bulk_out().Completed(channel), uint64_t{kPerProducer});
      EXPECT_EQ(chip_->station_bulk_out().PayloadBytes(channel), bytes);
    }
    ExpectNoViolations();
  } else {
    EXPECT_GT(bus_->Counters().chaos_cancels, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Bus, BulkOutChaosTest,
                         ::testing::Values(ChaosCase{"delays_short_inline", 0},
                                           ChaosCase{"with_cancels", 5}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vorn::station::testing
