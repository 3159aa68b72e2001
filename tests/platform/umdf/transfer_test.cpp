// Control transfers and synchronous bulk writes: data, status mapping and time-outs.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/nt/clock.h"
#include "tests/platform/umdf/wdf_fixture.h"

namespace vorn::umdf::testing {
namespace {

class ControlTransfer : public BoundTarget {
 protected:
  NTSTATUS Send(WDF_USB_BMREQUEST_DIRECTION direction, BYTE request, void* buffer, ULONG length,
                ULONG* bytes, LONGLONG timeout = WDF_REL_TIMEOUT_IN_SEC(2)) {
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, timeout);
    WDF_USB_CONTROL_SETUP_PACKET setup;
    WDF_USB_CONTROL_SETUP_PACKET_INIT_VENDOR(&setup, direction, BmRequestToDevice, request, 0x1234,
                                             0x0004);
    WDF_MEMORY_DESCRIPTOR memory;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&memory, buffer, length);
    return wdf->Call<WdfUsbTargetDeviceSendControlTransferSynchronouslyTableIndex>(
        target, static_cast<WDFREQUEST>(nullptr), &options, &setup, &memory, bytes);
  }
};

TEST_F(ControlTransfer, CarriesSetupAndDataBothWays) {
  device.on_control = [](usb::Transfer& t) {
    if (t.setup.bmRequestType & usb::kDirIn) {
      const uint32_t value = 0x08070605;
      t.actual = std::min<uint32_t>(t.length, sizeof(value));
      std::memcpy(t.buffer, &value, t.actual);
    } else {
      t.actual = t.length;
    }
    return usb::TransferStatus::kSuccess;
  };
  uint8_t in[8] = {};
  ULONG bytes = 99;
  ASSERT_EQ(Send(BmRequestDeviceToHost, 0xB0, in, sizeof(in), &bytes), STATUS_SUCCESS);
  EXPECT_EQ(bytes, 4u);  // short answer
  EXPECT_EQ(in[0], 5);
  EXPECT_EQ(in[3], 8);
  const usb::SetupPacket sent = device.ControlLog().back();
  EXPECT_EQ(sent.bmRequestType, 0xC0);
  EXPECT_EQ(sent.bRequest, 0xB0);
  EXPECT_EQ(sent.wValue, 0x1234);
  EXPECT_EQ(sent.wIndex, 4);
  EXPECT_EQ(sent.wLength, 8);  // taken from the data stage

  // A request without data: a buffer descriptor with no buffer.
  ASSERT_EQ(Send(BmRequestHostToDevice, 0x31, nullptr, 0, &bytes), STATUS_SUCCESS);
  EXPECT_EQ(device.ControlLog().back().bmRequestType, 0x40);
  EXPECT_EQ(device.ControlLog().back().wLength, 0);
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(Send(BmRequestHostToDevice, 0x31, nullptr, 4, &bytes), STATUS_INVALID_PARAMETER);
}

TEST_F(ControlTransfer, MapsDeviceResults) {
  struct Case {
    usb::TransferStatus result;
    NTSTATUS expected;
  };
  const Case cases[] = {
      {usb::TransferStatus::kStall, STATUS_UNSUCCESSFUL},
      {usb::TransferStatus::kError, STATUS_DEVICE_DATA_ERROR},
      {usb::TransferStatus::kDeviceGone, STATUS_DEVICE_NOT_CONNECTED},
      {usb::TransferStatus::kCancelled, STATUS_CANCELLED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(usb::TransferStatusName(c.result));
    device.on_control = [&c](usb::Transfer&) { return c.result; };
    uint8_t data[4];
    ULONG bytes = 0;
    EXPECT_EQ(Send(BmRequestDeviceToHost, 0x87, data, sizeof(data), &bytes), c.expected);
  }
}

TEST_F(ControlTransfer, TimeOutCancelsTheTransferAndReturnsIoTimeout) {
  clock::ScopedSpeed fast(1000);
  device.hold_control = true;
  uint8_t data[4];
  ULONG bytes = 7;
  const int64_t start = clock::NowNs();
  EXPECT_EQ(Send(BmRequestDeviceToHost, 0x87, data, sizeof(data), &bytes), STATUS_IO_TIMEOUT);
  const int64_t waited = clock::NowNs() - start;
  EXPECT_GE(waited, 2'000'000'000);  // the full 2 s of clock time
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(device.CancelCount(), 1u);
  EXPECT_EQ(device.PendingCount(), 0u);  // nothing left with the device

  // An absolute time-out already past ends at once, the same way.
  EXPECT_EQ(Send(BmRequestDeviceToHost, 0x87, data, sizeof(data), &bytes, 1), STATUS_IO_TIMEOUT);
  EXPECT_EQ(device.CancelCount(), 2u);
}

class BulkWrite : public BoundTarget {
 protected:
  // The plug-in's write: request, preallocated memory under it, format, synchronous send.
  BOOLEAN Write(WDFUSBPIPE pipe, std::vector<uint8_t>& data, NTSTATUS* status,
                LONGLONG timeout = WDF_REL_TIMEOUT_IN_SEC(10)) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = target;
    WDFREQUEST request = nullptr;
    EXPECT_EQ(wdf->Call<WdfRequestCreateTableIndex>(&attributes, WdfUsbTargetPipeAsIoTarget(pipe),
                                                    &request),
              STATUS_SUCCESS);
    attributes.ParentObject = request;
    WDFMEMORY memory = nullptr;
    EXPECT_EQ(wdf->Call<WdfMemoryCreatePreallocatedTableIndex>(
                  &attributes, static_cast<PVOID>(data.data()), data.size(), &memory),
              STATUS_SUCCESS);
    *status = wdf->Call<WdfUsbTargetPipeFormatRequestForWriteTableIndex>(
        pipe, request, memory, static_cast<PWDFMEMORY_OFFSET>(nullptr));
    BOOLEAN sent = FALSE;
    if (NT_SUCCESS(*status)) {
      WDF_REQUEST_SEND_OPTIONS options;
      WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
      WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, timeout);
      sent =
          wdf->Call<WdfRequestSendTableIndex>(request, WdfUsbTargetPipeAsIoTarget(pipe), &options);
      *status = wdf->Call<WdfRequestGetStatusTableIndex>(request);
    }
    wdf->Call<WdfObjectDeleteTableIndex>(static_cast<WDFOBJECT>(memory));
    wdf->Call<WdfObjectDeleteTableIndex>(static_cast<WDFOBJECT>(request));
    return sent;
  }
};

TEST_F(BulkWrite, WritesTheBufferAndDeletesCleanly) {
  std::vector<uint8_t> data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  NTSTATUS status = 0;
  EXPECT_EQ(Write(bulk_out, data, &status), TRUE);
  EXPECT_EQ(status, STATUS_SUCCESS);
  ASSERT_EQ(device.Writes().size(), 1u);
  EXPECT_EQ(device.Writes()[0], data);
  EXPECT_EQ(host->LiveObjectCount(), 1u);  // only the USB target is left
}

TEST_F(BulkWrite, FailuresAndTimeOutsReadFromTheRequest) {
  clock::ScopedSpeed fast(1000);
  std::vector<uint8_t> data(64, 0xAB);
  NTSTATUS status = 0;

  device.bulk_result = usb::TransferStatus::kStall;
  EXPECT_EQ(Write(bulk_out, data, &status), TRUE);
  EXPECT_EQ(status, STATUS_UNSUCCESSFUL);

  device.bulk_result = usb::TransferStatus::kSuccess;
  device.hold_bulk = true;
  EXPECT_EQ(Write(bulk_out, data, &status), TRUE);
  EXPECT_EQ(status, STATUS_IO_TIMEOUT);
  EXPECT_EQ(device.PendingCount(), 0u);
  device.hold_bulk = false;

  // A write on an IN pipe is refused at formatting.
  EXPECT_EQ(Write(bulk_in, data, &status), FALSE);
  EXPECT_EQ(status, STATUS_INVALID_DEVICE_REQUEST);

  // A stopped pipe does not send.
  wdf->Call<WdfIoTargetStopTableIndex>(WdfUsbTargetPipeAsIoTarget(bulk_out),
                                       WdfIoTargetCancelSentIo);
  EXPECT_EQ(Write(bulk_out, data, &status), FALSE);
  EXPECT_EQ(status, STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(wdf->Call<WdfIoTargetStartTableIndex>(WdfUsbTargetPipeAsIoTarget(bulk_out)),
            STATUS_SUCCESS);
  EXPECT_EQ(Write(bulk_out, data, &status), TRUE);
  EXPECT_EQ(status, STATUS_SUCCESS);

  device.SetConnected(false);
  EXPECT_EQ(Write(bulk_out, data, &status), TRUE);
  EXPECT_EQ(status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(host->LiveObjectCount(), 1u);
}

TEST_F(BulkWrite, DeletingARequestDeletesTheMemoryUnderIt) {
  std::vector<uint8_t> data(16);
  WDFREQUEST request = nullptr;
  ASSERT_EQ(wdf->Call<WdfRequestCreateTableIndex>(static_cast<PWDF_OBJECT_ATTRIBUTES>(nullptr),
                                                  WdfUsbTargetPipeAsIoTarget(bulk_out), &request),
            STATUS_SUCCESS);
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.ParentObject = request;
  WDFMEMORY memory = nullptr;
  ASSERT_EQ(wdf->Call<WdfMemoryCreatePreallocatedTableIndex>(
                &attributes, static_cast<PVOID>(data.data()), data.size(), &memory),
            STATUS_SUCCESS);
  size_t size = 0;
  EXPECT_EQ(wdf->Call<WdfMemoryGetBufferTableIndex>(memory, &size), data.data());
  EXPECT_EQ(size, 16u);
  EXPECT_EQ(host->LiveObjectCount(), 3u);
  wdf->Call<WdfObjectDeleteTableIndex>(static_cast<WDFOBJECT>(request));
  EXPECT_EQ(host->LiveObjectCount(), 1u);
  // The USB target takes its pipes with it.
  wdf->Call<WdfObjectDeleteTableIndex>(static_cast<WDFOBJECT>(target));
  EXPECT_EQ(host->LiveObjectCount(), 0u);
}

TEST_F(BulkWrite, PipeResetReachesTheEndpoint) {
  EXPECT_EQ(wdf->Call<WdfUsbTargetPipeResetSynchronouslyTableIndex>(
                bulk_out, static_cast<WDFREQUEST>(nullptr),
                static_cast<PWDF_REQUEST_SEND_OPTIONS>(nullptr)),
            STATUS_SUCCESS);
  EXPECT_EQ(device.Resets(), std::vector<uint8_t>{0x02});
  device.SetConnected(false);
  EXPECT_EQ(wdf->Call<WdfUsbTargetPipeResetSynchronouslyTableIndex>(
                bulk_out, static_cast<WDFREQUEST>(nullptr),
                static_cast<PWDF_REQUEST_SEND_OPTIONS>(nullptr)),
            STATUS_DEVICE_NOT_CONNECTED);
}

}  // namespace
}  // namespace vorn::umdf::testing
