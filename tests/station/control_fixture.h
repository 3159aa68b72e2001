// A started station on the chip model, reached as an application reaches it: CreateFileW on
// the enabled control interface (main, or NS in NS mode) and DeviceIoControl. Every handle a
// test opens is closed at its end, and the user-mode handle table is back where it was.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/kernel/interfaces.h"
#include "platform/win32/file_api.h"
#include "protocol/guids.h"
#include "sim/chip/chip_profile.h"
#include "sim/chip/station_requests.h"
#include "station/control_interface.h"
#include "station/worker.h"
#include "tests/station/station_machine.h"

namespace vorn::station::testing {

// What an application sees of one DeviceIoControl call.
struct IoctlResult {
  BOOL ok = FALSE;
  DWORD error = ERROR_SUCCESS;  // GetLastError after a failure
  DWORD bytes = 0;              // bytes returned
};

class ControlTest : public StationMachineTest {
 protected:
  void SetUp() override {
    StationMachineTest::SetUp();
    win32_handles_ = win32::OpenHandleCount();
  }
  void TearDown() override {
    for (HANDLE h : handles_) CloseHandle(h);
    handles_.clear();
    // Every handle's close reached the driver: no request kept a file open.
    if (station_) {
      EXPECT_EQ(OpenCount(), 0u);
    }
    bus_.reset();
    StationMachineTest::TearDown();
    EXPECT_EQ(win32::OpenHandleCount(), win32_handles_);
  }

  static chip::ChipProfile Profile(ULONG cmd_version = 8) {
    chip::ChipProfile p = chip::MakeProfile({});
    p.device_values[chip::kDeviceValueCmdVersion] = cmd_version;
    return p;
  }

  // Starts a station on |profile| and waits until its worker serves the control interface:
  // the main one without discovery (TestFunctions), or in NS mode the NS one.
  StationExtension* Start(chip::ChipProfile profile, bool ns = false) {
    UCHAR one = 1;
    if (ns) {
      SetParameter(u"SupportNS", REG_BINARY, &one, 1);
      profile.station.computer_info = chip::MakeComputerInfo(0x0102);
    } else {
      SetParameter(u"TestFunctions", REG_BINARY, &one, 1);
    }
    guid_ = ns ? protocol::kNsControlInterfaceGuid : protocol::kMainControlInterfaceGuid;
    chip_ = std::make_unique<chip::Chip>(std::move(profile));
    chip_->UseStationBulkOut(true);
    Boot();
    node_ = Attach(*chip_);
    station_ = node_ ? Ext(node_) : nullptr;
    EXPECT_NE(station_, nullptr);
    EXPECT_TRUE(WaitFor([&] { return !kernel::interfaces::Enabled(guid_).empty(); }));
    EXPECT_TRUE(WaitFor([] {
      std::vector<ULONG> thd = Steps(0x80, u"ThdState");
      return !thd.empty() && thd.back() == kThdServing;
    }));
    return station_;
  }

  // The enabled interface's path as user mode spells it, followed by |name|.
  std::u16string Path(const char16_t* name) const {
    std::vector<WString> links = kernel::interfaces::Enabled(guid_);
    if (links.empty()) return u"\\\\?\\none";
    std::u16string path(links[0]);
    path[1] = u'\\';
    return path + name;
  }

  // CreateFileW as an application calls it; a handle it gets is closed at the test's end.
  // |flags| as the panel library passes them (an overlapped handle used synchronously).
  HANDLE Open(const char16_t* name, DWORD* error = nullptr, DWORD flags = FILE_FLAG_OVERLAPPED) {
    std::u16string path = Path(name);
    SetLastError(ERROR_SUCCESS);
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, flags, nullptr);
    if (error) *error = h == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (h != INVALID_HANDLE_VALUE) Keep(h);
    return h;
  }
  void Keep(HANDLE h) {
    std::lock_guard<std::mutex> guard(handles_lock_);
    handles_.push_back(h);
  }
  void Close(HANDLE h) {
    {
      std::lock_guard<std::mutex> guard(handles_lock_);
      handles_.erase(std::remove(handles_.begin(), handles_.end(), h), handles_.end());
    }
    EXPECT_TRUE(CloseHandle(h));
  }

  static IoctlResult Ioctl(HANDLE h, ULONG code, void* in, ULONG in_length, void* out,
                           ULONG out_length) {
    IoctlResult r;
    SetLastError(ERROR_SUCCESS);
    DWORD bytes = 0xDEADBEEF;
    r.ok = DeviceIoControl(h, code, in, in_length, out, out_length, &bytes, nullptr);
    r.error = r.ok ? ERROR_SUCCESS : GetLastError();
    r.bytes = bytes;
    return r;
  }

  ULONG OpenCount() const { return __atomic_load_n(&station_->OpenCount, __ATOMIC_SEQ_CST); }

  GUID guid_{};
  std::unique_ptr<chip::Chip> chip_;
  kernel::pnp::DevNode* node_ = nullptr;
  StationExtension* station_ = nullptr;
  std::mutex handles_lock_;
  std::vector<HANDLE> handles_;
  size_t win32_handles_ = 0;
};

}  // namespace vorn::station::testing
