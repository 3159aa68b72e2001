// The station's WMI data block as a management tool sees it: found through the registration
// of each station, queried and set through the kernel's WMI requests, with the requests that
// are not the station's passed to the device below.
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "protocol/guids.h"
#include "sim/chip/station_device.h"
#include "station/wmi.h"
#include "tests/station/station_machine.h"

namespace vorn::station::testing {
namespace {

namespace pnp = kernel::pnp;
namespace wmi = kernel::wmi;
using chip::Chip;

constexpr GUID kBlock = protocol::kWmiDataBlockGuid;
constexpr GUID kOtherBlock = {0x0BADF00D, 0x1234, 0x5678, {9, 8, 7, 6, 5, 4, 3, 2}};
constexpr ULONG kLevel = 0x12345678;

// The instance a tool expects, byte by byte.
std::vector<uint8_t> ExpectedInstance(ULONG level) {
  std::vector<uint8_t> out = {uint8_t(level), uint8_t(level >> 8), uint8_t(level >> 16), uint8_t(level >> 24),
                              20, 0};
  for (char c : std::string("Ostravine")) {
    out.push_back(uint8_t(c));
    out.push_back(0);
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

ULONG Level() { return __atomic_load_n(&g_StationGlobals->BulkDebugLevel, __ATOMIC_SEQ_CST); }

class StationWmiTest : public StationMachineTest {
 public:
  void Unplug() {
    bus_->Detach(chip_);
    pnp::WaitIdle();
  }

 protected:
  // Boots with BulkDebugLevel set in Parameters and attaches one station.
  DEVICE_OBJECT* BootOne() {
    ULONG level = kLevel;
    SetParameter(u"BulkDebugLevel", REG_DWORD, &level, 4);
    Boot();
    node_ = Attach(chip_);
    EXPECT_NE(node_, nullptr);
    return node_ ? pnp::Top(node_) : nullptr;
  }
  static ULONG QueryLevel(DEVICE_OBJECT* fdo) {
    uint8_t buffer[26];
    ULONG needed = 0;
    EXPECT_EQ(wmi::QueryDataBlock(fdo, kBlock, buffer, sizeof buffer, &needed), STATUS_SUCCESS);
    ULONG v;
    std::memcpy(&v, buffer, 4);
    return v;
  }

  Chip chip_{chip::MakeProfile({})};
  pnp::DevNode* node_ = nullptr;
};

TEST_F(StationWmiTest, EachStationRegistersTheBlockUntilItGoes) {
  DEVICE_OBJECT* fdo = BootOne();
  ASSERT_NE(fdo, nullptr);
  StationExtension* s = Station(fdo);
  EXPECT_EQ(wmi::Providers(kBlock), std::vector<DEVICE_OBJECT*>{fdo});
  wmi::RegInfo info = wmi::QueryRegInfo(fdo);
  ASSERT_EQ(info.status, STATUS_SUCCESS);
  EXPECT_EQ(info.flags, WMIREG_FLAG_INSTANCE_PDO);
  EXPECT_TRUE(EqualNoCase(info.registry_path, ServicePath())) << ToNarrow(info.registry_path);
  EXPECT_EQ(info.mof_resource_name, u"MofResourceName");
  EXPECT_EQ(info.pdo, s->PhysicalDeviceObject);
  ASSERT_EQ(info.guids.size(), 1u);
  EXPECT_TRUE(info.guids[0].guid == kBlock);
  EXPECT_EQ(info.guids[0].instance_count, 1u);
  EXPECT_EQ(info.guids[0].flags, 0u);

  Unplug();
  EXPECT_FALSE(wmi::IsRegistered(fdo));
  EXPECT_TRUE(wmi::Providers(kBlock).empty());
}

TEST_F(StationWmiTest, QueryAnswersTheInstanceOrTheSizeItNeeds) {
  DEVICE_OBJECT* fdo = BootOne();
  ASSERT_NE(fdo, nullptr);
  const std::vector<uint8_t> instance = ExpectedInstance(kLevel);
  for (ULONG size : {0u, 1u, 25u, 26u, 40u}) {
    SCOPED_TRACE(size);
    std::vector<uint8_t> buffer(size, 0xEE);
    ULONG needed = 0;
    NTSTATUS s = wmi::QueryDataBlock(fdo, kBlock, buffer.data(), size, &needed);
    EXPECT_EQ(needed, 26u);
    if (size < 26) {
      EXPECT_EQ(s, STATUS_BUFFER_TOO_SMALL);
      EXPECT_EQ(buffer, std::vector<uint8_t>(size, 0xEE));
      continue;
    }
    EXPECT_EQ(s, STATUS_SUCCESS);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 26), instance);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin() + 26, buffer.end()), std::vector<uint8_t>(size - 26, 0xEE));
  }
}

struct SetCase {
  const char* name;
  bool item;       // set one item, else the whole block
  ULONG item_id;
  ULONG size;
  NTSTATUS status;
};
const SetCase kSetCases[] = {
    {"block of 0 bytes", false, 0, 0, STATUS_INFO_LENGTH_MISMATCH},
    {"block of 3 bytes", false, 0, 3, STATUS_INFO_LENGTH_MISMATCH},
    {"block of 5 bytes", false, 0, 5, STATUS_INFO_LENGTH_MISMATCH},
    {"block of 8 bytes", false, 0, 8, STATUS_INFO_LENGTH_MISMATCH},
    {"block of 26 bytes", false, 0, 26, STATUS_INFO_LENGTH_MISMATCH},
    {"block of 4 bytes", false, 0, 4, STATUS_SUCCESS},
    {"item 1 of 4 bytes", true, 1, 4, STATUS_SUCCESS},
    {"item 1 of 2 bytes", true, 1, 2, STATUS_INFO_LENGTH_MISMATCH},
    {"item 1 of 8 bytes", true, 1, 8, STATUS_INFO_LENGTH_MISMATCH},
    {"item 2 of 4 bytes", true, 2, 4, STATUS_WMI_READ_ONLY},
    {"item 0 of 4 bytes", true, 0, 4, STATUS_WMI_READ_ONLY},
};

TEST_F(StationWmiTest, SettingChecksTheSizeAndTheItemAndReachesEveryStationAtOnce) {
  ULONG level = kLevel;
  SetParameter(u"BulkDebugLevel", REG_DWORD, &level, 4);
  Boot();
  Chip second(chip::MakeProfile({}));
  pnp::DevNode* a = Attach(chip_, u"A1");
  pnp::DevNode* b = Attach(second, u"B2");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  DEVICE_OBJECT* fa = pnp::Top(a);
  DEVICE_OBJECT* fb = pnp::Top(b);
  EXPECT_EQ(wmi::Providers(kBlock).size(), 2u);
  ULONG expected = kLevel;
  ULONG next = 0x100;
  for (const SetCase& c : kSetCases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> data(c.size, 0);
    ++next;
    if (c.size) std::memcpy(data.data(), &next, std::min<size_t>(4, c.size));
    NTSTATUS s = c.item ? wmi::SetDataItem(fa, kBlock, c.item_id, data.data(), c.size)
                        : wmi::SetDataBlock(fa, kBlock, data.data(), c.size);
    EXPECT_EQ(s, c.status);
    if (NT_SUCCESS(c.status)) expected = next;
    EXPECT_EQ(Level(), expected);
    EXPECT_EQ(QueryLevel(fa), expected);
    EXPECT_EQ(QueryLevel(fb), expected);
  }
  // A value set at one station is read back at the other.
  ULONG v = 7;
  ASSERT_EQ(wmi::SetDataItem(fb, kBlock, 1, &v, 4), STATUS_SUCCESS);
  EXPECT_EQ(QueryLevel(fa), 7u);
}

TEST_F(StationWmiTest, RequestsThatAreNotTheStationsAreAnsweredOrPassedDown) {
  DEVICE_OBJECT* fdo = BootOne();
  ASSERT_NE(fdo, nullptr);
  DEVICE_OBJECT* pdo = Station(fdo)->PhysicalDeviceObject;
  uint8_t buffer[32];
  std::memset(buffer, 0xEE, sizeof buffer);
  ULONG needed = 0, v = 9;
  // Another block asked of the station: the library's answer, completed by the station.
  EXPECT_EQ(wmi::QueryDataBlock(fdo, kOtherBlock, buffer, sizeof buffer, &needed), STATUS_WMI_GUID_NOT_FOUND);
  EXPECT_EQ(wmi::SetDataBlock(fdo, kOtherBlock, &v, 4), STATUS_WMI_GUID_NOT_FOUND);
  EXPECT_EQ(wmi::SetDataItem(fdo, kOtherBlock, 1, &v, 4), STATUS_WMI_GUID_NOT_FOUND);
  // A block of the device below (as if the bus driver provided one): every request for it goes
  // through the station to the bus driver, whose answer comes back.
  ASSERT_EQ(IoWMIRegistrationControl(pdo, WMIREG_ACTION_REGISTER), STATUS_SUCCESS);
  EXPECT_EQ(wmi::QueryRegInfo(pdo).status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(wmi::QueryDataBlock(pdo, kBlock, buffer, sizeof buffer, &needed), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(wmi::SetDataBlock(pdo, kBlock, &v, 4), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(wmi::SetDataItem(pdo, kBlock, 1, &v, 4), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(IoWMIRegistrationControl(pdo, WMIREG_ACTION_DEREGISTER), STATUS_SUCCESS);
  EXPECT_EQ(Level(), kLevel);
  EXPECT_EQ(buffer[0], 0xEE);
  EXPECT_EQ(QueryLevel(fdo), kLevel);
}

TEST_F(StationWmiTest, ARemovedStationAnswersDeletePendingWithoutTheLibrary) {
  DEVICE_OBJECT* fdo = BootOne();
  ASSERT_NE(fdo, nullptr);
  StationExtension* s = Station(fdo);
  ULONG count = s->IoCount;
  ULONG state = __atomic_exchange_n(&s->FdoState, ULONG{kFdoRemoved}, __ATOMIC_SEQ_CST);
  ULONG v = 3;
  uint8_t buffer[26];
  ULONG needed = 0;
  EXPECT_EQ(wmi::QueryDataBlock(fdo, kBlock, buffer, sizeof buffer, &needed), STATUS_DELETE_PENDING);
  EXPECT_EQ(wmi::SetDataItem(fdo, kBlock, 1, &v, 4), STATUS_DELETE_PENDING);
  __atomic_store_n(&s->FdoState, state, __ATOMIC_SEQ_CST);
  EXPECT_EQ(Level(), kLevel);
  EXPECT_EQ(s->IoCount, count);
}

struct Removal {
  const char* name;
  std::function<void(StationWmiTest*, pnp::DevNode*)> remove;
};
void PrintTo(const Removal& r, std::ostream* os) { *os << r.name; }

class StationWmiRemovalTest : public StationWmiTest, public ::testing::WithParamInterface<Removal> {};

// Tools keep asking while the station goes away: every request is answered, the station's
// until it deregisters and "not found" afterwards, and nothing is left behind.
TEST_P(StationWmiRemovalTest, QueriesRacingTheRemovalAreAllAnswered) {
  DEVICE_OBJECT* fdo = BootOne();
  ASSERT_NE(fdo, nullptr);
  constexpr int kThreads = 4;
  std::atomic<int> started{0};
  std::vector<NTSTATUS> last(kThreads, STATUS_SUCCESS);
  std::vector<int> answered(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      bool counted = false;
      for (;;) {
        uint8_t buffer[26];
        ULONG needed = 0;
        NTSTATUS s = wmi::QueryDataBlock(fdo, kBlock, buffer, sizeof buffer, &needed);
        last[t] = s;
        if (s != STATUS_SUCCESS) break;
        ++answered[t];
        if (!counted) {
          counted = true;
          ++started;
        }
      }
    });
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (started.load() < kThreads && std::chrono::steady_clock::now() < end) std::this_thread::yield();
  EXPECT_EQ(started.load(), kThreads);
  GetParam().remove(this, node_);
  for (std::thread& t : threads) t.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(last[t], STATUS_WMI_GUID_NOT_FOUND) << t;
    EXPECT_GE(answered[t], 1) << t;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Removals, StationWmiRemovalTest,
    ::testing::Values(Removal{"Unplugged", [](StationWmiTest* t, pnp::DevNode*) { t->Unplug(); }},
                      Removal{"Removed", [](StationWmiTest*, pnp::DevNode* node) {
                                EXPECT_EQ(pnp::Remove(node), STATUS_SUCCESS);
                              }}),
    [](const ::testing::TestParamInfo<Removal>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vorn::station::testing
