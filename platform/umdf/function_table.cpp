// The table as the plug-in indexes it. Served slots hold the operations; every other slot
// holds a trap of its own that names its index, so a call the host does not serve stops the
// process at once instead of running into a neighbour's operation.
#include <cstdio>
#include <utility>

#include "platform/umdf/host_state.h"
#include "platform/umdf/operations.h"

namespace vorn::umdf {
namespace {

template <int Index>
void UnservedSlot() {
  Trap("WDF function table slot %d is not served by this host", Index);
}

template <int... Index>
void FillTraps(WDFFUNC* table, std::integer_sequence<int, Index...>) {
  ((table[Index] = &UnservedSlot<Index>), ...);
}

template <WDFFUNCENUM Index>
void Serve(WDFFUNC* table, typename WdfSlotType<Index>::type operation) {
  table[Index] = reinterpret_cast<WDFFUNC>(operation);
}

}  // namespace

void FillFunctionTable(WDFFUNC* table) {
  FillTraps(table, std::make_integer_sequence<int, WdfFunctionTableNumEntries>());
  Serve<WdfDeviceAssignPropertyTableIndex>(table, &WdfDeviceAssignProperty);
  Serve<WdfDriverOpenParametersRegistryKeyTableIndex>(table, &WdfDriverOpenParametersRegistryKey);
  Serve<WdfIoTargetStartTableIndex>(table, &WdfIoTargetStart);
  Serve<WdfIoTargetStopTableIndex>(table, &WdfIoTargetStop);
  Serve<WdfMemoryCreatePreallocatedTableIndex>(table, &WdfMemoryCreatePreallocated);
  Serve<WdfMemoryGetBufferTableIndex>(table, &WdfMemoryGetBuffer);
  Serve<WdfObjectDeleteTableIndex>(table, &WdfObjectDelete);
  Serve<WdfRegistryCloseTableIndex>(table, &WdfRegistryClose);
  Serve<WdfRegistryQueryValueTableIndex>(table, &WdfRegistryQueryValue);
  Serve<WdfRequestCreateTableIndex>(table, &WdfRequestCreate);
  Serve<WdfRequestSendTableIndex>(table, &WdfRequestSend);
  Serve<WdfRequestGetStatusTableIndex>(table, &WdfRequestGetStatus);
  Serve<WdfWaitLockCreateTableIndex>(table, &WdfWaitLockCreate);
  Serve<WdfWaitLockAcquireTableIndex>(table, &WdfWaitLockAcquire);
  Serve<WdfWaitLockReleaseTableIndex>(table, &WdfWaitLockRelease);
  Serve<WdfUsbTargetDeviceCreateWithParametersTableIndex>(table,
                                                          &WdfUsbTargetDeviceCreateWithParameters);
  Serve<WdfUsbTargetDeviceRetrieveInformationTableIndex>(table,
                                                         &WdfUsbTargetDeviceRetrieveInformation);
  Serve<WdfUsbTargetDeviceGetDeviceDescriptorTableIndex>(table,
                                                         &WdfUsbTargetDeviceGetDeviceDescriptor);
  Serve<WdfUsbTargetDeviceQueryStringTableIndex>(table, &WdfUsbTargetDeviceQueryString);
  Serve<WdfUsbTargetDeviceSelectConfigTableIndex>(table, &WdfUsbTargetDeviceSelectConfig);
  Serve<WdfUsbTargetDeviceSendControlTransferSynchronouslyTableIndex>(
      table, &WdfUsbTargetDeviceSendControlTransferSynchronously);
  Serve<WdfUsbTargetPipeIsInEndpointTableIndex>(table, &WdfUsbTargetPipeIsInEndpoint);
  Serve<WdfUsbTargetPipeIsOutEndpointTableIndex>(table, &WdfUsbTargetPipeIsOutEndpoint);
  Serve<WdfUsbTargetPipeSetNoMaximumPacketSizeCheckTableIndex>(
      table, &WdfUsbTargetPipeSetNoMaximumPacketSizeCheck);
  Serve<WdfUsbTargetPipeFormatRequestForWriteTableIndex>(table,
                                                         &WdfUsbTargetPipeFormatRequestForWrite);
  Serve<WdfUsbTargetPipeConfigContinuousReaderTableIndex>(table,
                                                          &WdfUsbTargetPipeConfigContinuousReader);
  Serve<WdfUsbTargetPipeResetSynchronouslyTableIndex>(table, &WdfUsbTargetPipeResetSynchronously);
  Serve<WdfUsbTargetDeviceGetInterfaceTableIndex>(table, &WdfUsbTargetDeviceGetInterface);
  Serve<WdfUsbInterfaceGetNumConfiguredPipesTableIndex>(table,
                                                        &WdfUsbInterfaceGetNumConfiguredPipes);
  Serve<WdfUsbInterfaceGetConfiguredPipeTableIndex>(table, &WdfUsbInterfaceGetConfiguredPipe);
}

}  // namespace vorn::umdf
