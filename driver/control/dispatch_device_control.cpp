#include "driver/config/configuration.h"
#include "driver/config/alternate_setting.h"
#include "driver/config/pipes.h"
#include "driver/control/device_requests.h"
#include "driver/control/pipe_control_transfer.h"
#include "driver/control/pipe_statistics.h"
#include "driver/control/port_requests.h"
#include "driver/control/reset_device.h"
#include "driver/core/device_extension.h"
#include "driver/core/driver.h"
#include "driver/core/kernel_utils.h"
#include "driver/core/open_handle.h"
#include "driver/pnp_power/power.h"
#include "include/xrusb/ioctl.h"
#include "include/xrusb/status.h"

namespace {

// The checks a code makes before it is carried out; the first that fails decides.
enum CheckKind : UCHAR {
  CHECK_NONE = 0,
  CHECK_IN,                   // request length >= n
  CHECK_OUT,                  // result length (the MDL's for the direct methods) >= n
  CHECK_BOUND,                // the handle is bound
  CHECK_UNBOUND,              // the handle is not bound yet
  CHECK_NOT_BLOCKED,          // requestsBlocked clear
  CHECK_CONFIG_TOTAL_LENGTH,  // request length >= the descriptor's wTotalLength
  CHECK_POWER_STATE_VALUE,    // 0..3
  CHECK_CONFIGURING_PROCESS,  // only the configuring process may unconfigure
  CHECK_CONTROL_PIPE,         // the bound pipe is a control pipe
};

struct Check {
  UCHAR kind;
  USHORT n;
};

constexpr ULONG INFO_TRANSFERRED = 0xFFFFFFFF;  // the carrying routine's byte count

struct CodeRow {
  ULONG code;
  Check checks[3];
  ULONG information;
};

constexpr Check In(USHORT n) { return Check{CHECK_IN, n}; }
constexpr Check Out(USHORT n) { return Check{CHECK_OUT, n}; }
constexpr Check Is(CheckKind kind) { return Check{kind, 0}; }

constexpr CodeRow CODES[] = {
    {IOCTL_GET_DESCRIPTOR, {In(8), Out(1)}, INFO_TRANSFERRED},
    {IOCTL_SET_DESCRIPTOR, {In(8), Out(1)}, INFO_TRANSFERRED},
    {IOCTL_SET_FEATURE, {In(8)}, 0},
    {IOCTL_CLEAR_FEATURE, {In(8)}, 0},
    {IOCTL_GET_STATUS, {In(6), Out(2)}, 2},
    {IOCTL_GET_CONFIGURATION, {Out(1), Is(CHECK_NOT_BLOCKED)}, 1},
    {IOCTL_GET_INTERFACE, {In(2), Out(1), Is(CHECK_NOT_BLOCKED)}, 1},
    {IOCTL_STORE_CONFIG_DESCRIPTOR, {In(9), Is(CHECK_CONFIG_TOTAL_LENGTH)}, 0},
    {IOCTL_SET_CONFIGURATION, {In(260)}, 0},
    {IOCTL_UNCONFIGURE_DEVICE, {Is(CHECK_CONFIGURING_PROCESS)}, 0},
    {IOCTL_SET_INTERFACE, {In(8)}, 0},
    {IOCTL_CLASS_OR_VENDOR_IN_REQUEST, {In(18)}, INFO_TRANSFERRED},
    {IOCTL_CLASS_OR_VENDOR_OUT_REQUEST, {In(18)}, INFO_TRANSFERRED},
    {IOCTL_GET_DEVICE_PARAMETERS, {Out(sizeof(DeviceParameters))}, sizeof(DeviceParameters)},
    {IOCTL_SET_DEVICE_PARAMETERS, {In(sizeof(DeviceParameters))}, 0},
    {IOCTL_GET_CONFIGURATION_INFO, {Out(776)}, 776},
    {IOCTL_RESET_DEVICE, {}, 0},
    {IOCTL_GET_CURRENT_FRAME_NUMBER, {Out(4)}, 4},
    {IOCTL_SET_DEVICE_POWER_STATE, {In(sizeof(PowerStateValue)), Is(CHECK_POWER_STATE_VALUE)}, 0},
    {IOCTL_GET_DEVICE_POWER_STATE, {Out(sizeof(PowerStateValue))}, sizeof(PowerStateValue)},
    {IOCTL_GET_BANDWIDTH_INFO, {Out(16)}, 16},
    {IOCTL_GET_DEVICE_INFO, {Out(16)}, 16},
    {IOCTL_GET_DRIVER_INFO, {Out(sizeof(DriverInfo))}, sizeof(DriverInfo)},
    {IOCTL_CYCLE_PORT, {Is(CHECK_NOT_BLOCKED)}, 0},
    {IOCTL_BIND_PIPE, {In(1), Is(CHECK_UNBOUND)}, 0},
    {IOCTL_UNBIND_PIPE, {Is(CHECK_BOUND)}, 0},
    {IOCTL_RESET_PIPE, {Is(CHECK_BOUND), Is(CHECK_NOT_BLOCKED)}, 0},
    {IOCTL_ABORT_PIPE, {Is(CHECK_BOUND)}, 0},
    {IOCTL_GET_PIPE_PARAMETERS, {Is(CHECK_BOUND), Out(4)}, 4},
    {IOCTL_SET_PIPE_PARAMETERS, {Is(CHECK_BOUND), In(4)}, 0},
    {IOCTL_SETUP_PIPE_STATISTICS, {Is(CHECK_BOUND), In(sizeof(StatisticsSetup))}, 0},
    {IOCTL_QUERY_PIPE_STATISTICS, {Is(CHECK_BOUND), In(sizeof(StatisticsQuery)), Out(sizeof(PipeStatistics))},
     sizeof(PipeStatistics)},
    {IOCTL_PIPE_CONTROL_TRANSFER_IN,
     {Is(CHECK_BOUND), Is(CHECK_CONTROL_PIPE), In(sizeof(PipeControlTransferRequest))},
     INFO_TRANSFERRED},
    {IOCTL_PIPE_CONTROL_TRANSFER_OUT,
     {Is(CHECK_BOUND), Is(CHECK_CONTROL_PIPE), In(sizeof(PipeControlTransferRequest))},
     INFO_TRANSFERRED},
    {IOCTL_ACQUIRE_DEVICE, {}, 0},
    {IOCTL_RELEASE_DEVICE, {}, 0},
    {IOCTL_STALL_EXECUTION, {In(sizeof(StallRequest))}, 0},
};

// The documented limit for one busy wait; a longer allowed stall is made of such slices.
constexpr ULONG STALL_SLICE_MICROSECONDS = 50;

constexpr UCHAR CONFIG_ATTRIBUTE_REMOTE_WAKEUP = 0x20;  // bmAttributes of a configuration descriptor

struct Request {
  DeviceExtension *dx;
  PIRP irp;
  ULONG code;
  PVOID buffer;  // the system buffer: request, then result
  ULONG inLength;
  ULONG resultLength;  // in: available; out: bytes transferred
  PMDL mdl;
  PipeContext *boundPipe;
};

const CodeRow *FindCode(ULONG code) {
  for (const CodeRow &row : CODES)
    if (row.code == code) return &row;
  return NULL;
}

ULONG ReadU32(const Request &r, ULONG offset) {
  ULONG value;
  RtlCopyMemory(&value, static_cast<const UCHAR *>(r.buffer) + offset, sizeof value);
  return value;
}

NTSTATUS RunCheck(const Request &r, const Check &check) {
  switch (check.kind) {
    case CHECK_IN:
      return r.inLength >= check.n ? STATUS_SUCCESS : ERR_INVALID_INBUFFER;
    case CHECK_OUT:
      return r.resultLength >= check.n ? STATUS_SUCCESS : ERR_INVALID_OUTBUFFER;
    case CHECK_BOUND:
      return r.boundPipe ? STATUS_SUCCESS : ERR_NOT_BOUND;
    case CHECK_UNBOUND:
      return r.boundPipe ? ERR_ALREADY_BOUND : STATUS_SUCCESS;
    case CHECK_NOT_BLOCKED:
      return r.dx->requestsBlocked ? ERR_DEVICE_NOT_READY : STATUS_SUCCESS;
    case CHECK_CONFIG_TOTAL_LENGTH: {
      USHORT totalLength;
      RtlCopyMemory(&totalLength, static_cast<const UCHAR *>(r.buffer) + 2, sizeof totalLength);
      return r.inLength >= totalLength ? STATUS_SUCCESS : ERR_INVALID_INBUFFER;
    }
    case CHECK_POWER_STATE_VALUE:
      return ReadU32(r, 0) <= 3 ? STATUS_SUCCESS : ERR_INVALID_PARAMETER;
    case CHECK_CONFIGURING_PROCESS: {
      const PEPROCESS configurer = r.dx->configuringProcess;
      if (r.dx->parameters.checkPidOnUnconfig && configurer && configurer != IoGetCurrentProcess())
        return ERR_CONFIGURED_BY_OTHER_PROCESS;
      return STATUS_SUCCESS;
    }
    case CHECK_CONTROL_PIPE:
      return r.boundPipe->pipeInfo.PipeType == UsbdPipeTypeControl ? STATUS_SUCCESS : ERR_USBD_INVALID_PIPE_HANDLE;
    default:
      return STATUS_SUCCESS;
  }
}

NTSTATUS GetDeviceParameters(Request &r) {
  DeviceParameters result;
  result.Options = r.dx->parameters.options;
  result.RequestTimeout = r.dx->parameters.requestTimeout;
  RtlCopyMemory(r.buffer, &result, sizeof result);
  return STATUS_SUCCESS;
}

NTSTATUS SetDeviceParameters(Request &r) {
  DeviceExtension *dx = r.dx;
  DeviceParameters request;
  RtlCopyMemory(&request, r.buffer, sizeof request);
  dx->parameters.options = request.Options;
  dx->parameters.requestTimeout = request.RequestTimeout;
  dx->remoteWakeupArmed = FALSE;
  const PUSB_CONFIGURATION_DESCRIPTOR descriptor =
      static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(dx->storedConfigDescriptor);
  if (dx->configured && descriptor && (descriptor->bmAttributes & CONFIG_ATTRIBUTE_REMOTE_WAKEUP) &&
      (request.Options & OPTION_REMOTE_WAKEUP))
    dx->remoteWakeupArmed = TRUE;
  ArmWaitWake(dx);
  return STATUS_SUCCESS;
}

NTSTATUS GetDevicePowerState(Request &r) {
  const ULONG state = CurrentPowerState(r.dx);
  if (state < PowerDeviceD0 || state > PowerDeviceD3) return ERR_INVALID_POWER_STATE;
  PowerStateValue result;
  result.PowerState = state - PowerDeviceD0;
  RtlCopyMemory(r.buffer, &result, sizeof result);
  return STATUS_SUCCESS;
}

NTSTATUS GetDriverInfo(Request &r) {
  DriverInfo result;
  RtlZeroMemory(&result, sizeof result);
  result.ApiVersion = XRUSB_API_VERSION;
  result.DriverVersion = XRUSB_DRIVER_VERSION;
  result.DriverBuild = XRUSB_DRIVER_BUILD;
  result.Flags = XRUSB_DRIVER_FLAGS;
  RtlCopyMemory(r.buffer, &result, sizeof result);
  return STATUS_SUCCESS;
}

NTSTATUS AcquireDevice(DeviceExtension *dx) {
  const PEPROCESS caller = IoGetCurrentProcess();
  if (dx->exclusiveOwner == caller) return STATUS_SUCCESS;
  if (dx->exclusiveOwner) return ERR_DEVICE_ACQUIRED;
  for (PLIST_ENTRY e = dx->openHandleList.Flink; e != &dx->openHandleList; e = e->Flink)
    if (CONTAINING_RECORD(e, OpenHandle, link)->process != caller) return ERR_OPENED_BY_OTHER_PROCESS;
  dx->exclusiveOwner = caller;
  return STATUS_SUCCESS;
}

// Refused rather than shortened: a caller must be able to rely on the delay it was told had
// passed.
NTSTATUS StallExecution(Request &r) {
  ULONG remaining = ReadU32(r, 0);
  if (remaining > XRUSB_STALL_MAX_MICROSECONDS) return ERR_INVALID_PARAMETER;
  while (remaining) {
    const ULONG slice = remaining < STALL_SLICE_MICROSECONDS ? remaining : STALL_SLICE_MICROSECONDS;
    KeStallExecutionProcessor(slice);
    remaining -= slice;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CarryOut(Request &r) {
  switch (r.code) {
    case IOCTL_GET_DESCRIPTOR:
    case IOCTL_SET_DESCRIPTOR:
      return DescriptorTransfer(r.code == IOCTL_GET_DESCRIPTOR ? DEVICE_REQUEST_IN : DEVICE_REQUEST_OUT, r.dx, r.irp,
                                static_cast<const DescriptorRequest *>(r.buffer), &r.resultLength, r.mdl);
    case IOCTL_SET_FEATURE:
    case IOCTL_CLEAR_FEATURE:
      return FeatureRequestSend(r.code == IOCTL_SET_FEATURE, r.dx, r.irp, static_cast<const FeatureRequest *>(r.buffer));
    case IOCTL_GET_STATUS:
      return GetStatusRequest(r.dx, r.irp, r.buffer);
    case IOCTL_GET_CONFIGURATION:
      return GetConfigurationRequest(r.dx, r.irp, r.buffer);
    case IOCTL_GET_INTERFACE:
      return GetInterfaceRequest(r.dx, r.irp, r.buffer);
    case IOCTL_CLASS_OR_VENDOR_IN_REQUEST:
    case IOCTL_CLASS_OR_VENDOR_OUT_REQUEST:
      return ClassOrVendorTransfer(
          r.code == IOCTL_CLASS_OR_VENDOR_IN_REQUEST ? DEVICE_REQUEST_IN : DEVICE_REQUEST_OUT, r.dx, r.irp,
          static_cast<const ClassOrVendorRequest *>(r.buffer), &r.resultLength, r.mdl);
    case IOCTL_STORE_CONFIG_DESCRIPTOR:
      return StoreConfigDescriptor(r.dx, r.buffer, r.inLength);
    case IOCTL_SET_CONFIGURATION:
      return SetConfiguration(r.dx, r.irp, static_cast<const SetConfigurationRequest *>(r.buffer));
    case IOCTL_SET_INTERFACE:
      return SetInterface(r.dx, r.irp, static_cast<const InterfaceSetting *>(r.buffer));
    case IOCTL_UNCONFIGURE_DEVICE:
      return Unconfigure(r.dx, r.irp, TRUE);
    case IOCTL_GET_CONFIGURATION_INFO:
      return GetConfigurationInfo(r.dx, static_cast<ConfigurationInfo *>(r.buffer));
    case IOCTL_GET_DEVICE_PARAMETERS:
      return GetDeviceParameters(r);
    case IOCTL_SET_DEVICE_PARAMETERS:
      return SetDeviceParameters(r);
    case IOCTL_SET_DEVICE_POWER_STATE:
      return SetDevicePowerState(r.dx, ReadU32(r, 0) + PowerDeviceD0);
    case IOCTL_GET_DEVICE_POWER_STATE:
      return GetDevicePowerState(r);
    case IOCTL_GET_CURRENT_FRAME_NUMBER:
      return GetCurrentFrameNumber(r.dx, r.irp, r.buffer);
    case IOCTL_GET_BANDWIDTH_INFO:
      return GetBandwidthInfo(r.dx, r.buffer);
    case IOCTL_GET_DEVICE_INFO:
      return GetDeviceInfo(r.dx, r.buffer);
    case IOCTL_CYCLE_PORT:
      return CyclePort(r.dx, r.irp);
    case IOCTL_RESET_DEVICE:
      return ResetDevice(r.dx, r.irp);
    case IOCTL_BIND_PIPE:
      return BindPipe(r.dx, r.irp, static_cast<const BindPipeRequest *>(r.buffer));
    case IOCTL_UNBIND_PIPE:
      return UnbindPipe(r.dx, r.boundPipe);
    case IOCTL_RESET_PIPE:
      return ResetPipe(r.dx, r.irp, r.boundPipe);
    case IOCTL_ABORT_PIPE:
      return AbortPipe(r.dx, r.irp, r.boundPipe);
    case IOCTL_GET_PIPE_PARAMETERS:
      return GetPipeParameters(r.boundPipe, static_cast<PipeParameters *>(r.buffer));
    case IOCTL_SET_PIPE_PARAMETERS:
      return SetPipeParameters(r.boundPipe, static_cast<const PipeParameters *>(r.buffer));
    case IOCTL_SETUP_PIPE_STATISTICS:
      return SetupPipeStatistics(r.dx, r.boundPipe, static_cast<const StatisticsSetup *>(r.buffer));
    case IOCTL_QUERY_PIPE_STATISTICS:
      return QueryStatistics(r.dx, r.boundPipe, r.buffer);
    case IOCTL_PIPE_CONTROL_TRANSFER_IN:
    case IOCTL_PIPE_CONTROL_TRANSFER_OUT:
      return PipeControlTransfer(r.code == IOCTL_PIPE_CONTROL_TRANSFER_IN ? DEVICE_REQUEST_IN : DEVICE_REQUEST_OUT,
                                 r.dx, r.irp, r.boundPipe, static_cast<const PipeControlTransferRequest *>(r.buffer),
                                 &r.resultLength, r.mdl);
    case IOCTL_GET_DRIVER_INFO:
      return GetDriverInfo(r);
    case IOCTL_ACQUIRE_DEVICE:
      return AcquireDevice(r.dx);
    case IOCTL_RELEASE_DEVICE:
      r.dx->exclusiveOwner = NULL;
      return STATUS_SUCCESS;
    case IOCTL_STALL_EXECUTION:
      return StallExecution(r);
    default:
      return ERR_INVALID_IOCTL;  // every listed code has its case above
  }
}

NTSTATUS Dispatch(Request &r) {
  if (!r.dx->devicePresent) return ERR_DEVICE_NOT_PRESENT;
  const OpenHandle *handle = HandleOf(IoGetCurrentIrpStackLocation(r.irp)->FileObject);
  r.boundPipe = handle ? handle->boundPipe : NULL;

  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(r.irp);
  if ((r.code & 3) == METHOD_BUFFERED) {
    r.resultLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  } else {
    r.mdl = r.irp->MdlAddress;
    r.resultLength = r.mdl ? MmGetMdlByteCount(r.mdl) : 0;
  }

  const CodeRow *row = FindCode(r.code);
  if (!row) return ERR_INVALID_IOCTL;
  for (const Check &check : row->checks) {
    const NTSTATUS status = RunCheck(r, check);
    if (!NT_SUCCESS(status)) return status;
  }
  const NTSTATUS status = CarryOut(r);
  if (NT_SUCCESS(status))
    r.irp->IoStatus.Information = row->information == INFO_TRANSFERRED ? r.resultLength : row->information;
  return status;
}

// Codes that may unbind a handle or release pipe records, or that abort a pipe. They hold
// transferMutex as well (after deviceMutex), so that no read or write set-up is between its look
// at boundPipe and its reference on that pipe, nor between the queue's marking of a pipe as
// needing an abort and the bus taking the transfer: an abort there would find the mark, clear
// it and reach the bus first, and the transfer would then sit at the bus past every abort.
BOOLEAN ChangesPipes(ULONG code) {
  switch (code) {
    case IOCTL_ABORT_PIPE:
    case IOCTL_RESET_PIPE:
    case IOCTL_SET_CONFIGURATION:
    case IOCTL_SET_INTERFACE:
    case IOCTL_UNCONFIGURE_DEVICE:
    case IOCTL_RESET_DEVICE:
    case IOCTL_BIND_PIPE:
    case IOCTL_UNBIND_PIPE:
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

// Never pending: whatever a code needs from the bus goes down synchronously in this IRP.
NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  Request r;
  RtlZeroMemory(&r, sizeof r);
  r.dx = static_cast<DeviceExtension *>(deviceObject->DeviceExtension);
  r.irp = irp;
  r.code = stack->Parameters.DeviceIoControl.IoControlCode;
  r.inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  r.buffer = irp->AssociatedIrp.SystemBuffer;
  if ((r.code >> 16) != XRUSB_DEVICE_TYPE) return CompleteRequest(irp, ERR_INVALID_IOCTL);

  irp->IoStatus.Information = 0;
  const BOOLEAN changesPipes = ChangesPipes(r.code);
  WaitForObject(&r.dx->deviceMutex, Executive);
  if (changesPipes) WaitForObject(&r.dx->transferMutex, Executive);
  const NTSTATUS status = Dispatch(r);
  if (changesPipes) KeReleaseMutex(&r.dx->transferMutex, FALSE);
  KeReleaseMutex(&r.dx->deviceMutex, FALSE);
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}
