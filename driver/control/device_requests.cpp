#include "driver/control/device_requests.h"

#include "driver/control/sync_request.h"
#include "driver/core/device_extension.h"
#include "include/xrusb/status.h"

namespace {

// Every request here uses one of the control-request URBs, which share this size.
constexpr USHORT CONTROL_URB_LENGTH = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);

// By recipient: device, interface, endpoint, other.
constexpr USHORT GET_DESCRIPTOR_FUNCTIONS[] = {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
                                               URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE,
                                               URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT};
constexpr USHORT SET_DESCRIPTOR_FUNCTIONS[] = {URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE,
                                               URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE,
                                               URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT};
constexpr USHORT SET_FEATURE_FUNCTIONS[] = {URB_FUNCTION_SET_FEATURE_TO_DEVICE, URB_FUNCTION_SET_FEATURE_TO_INTERFACE,
                                            URB_FUNCTION_SET_FEATURE_TO_ENDPOINT, URB_FUNCTION_SET_FEATURE_TO_OTHER};
constexpr USHORT CLEAR_FEATURE_FUNCTIONS[] = {
    URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE,
    URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, URB_FUNCTION_CLEAR_FEATURE_TO_OTHER};
constexpr USHORT GET_STATUS_FUNCTIONS[] = {URB_FUNCTION_GET_STATUS_FROM_DEVICE, URB_FUNCTION_GET_STATUS_FROM_INTERFACE,
                                           URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, URB_FUNCTION_GET_STATUS_FROM_OTHER};
constexpr USHORT CLASS_FUNCTIONS[] = {URB_FUNCTION_CLASS_DEVICE, URB_FUNCTION_CLASS_INTERFACE,
                                      URB_FUNCTION_CLASS_ENDPOINT, URB_FUNCTION_CLASS_OTHER};
constexpr USHORT VENDOR_FUNCTIONS[] = {URB_FUNCTION_VENDOR_DEVICE, URB_FUNCTION_VENDOR_INTERFACE,
                                       URB_FUNCTION_VENDOR_ENDPOINT, URB_FUNCTION_VENDOR_OTHER};

template <ULONG N>
constexpr ULONG Count(const USHORT (&)[N]) {
  return N;
}

void ClearUrb(URB *urb, USHORT function) {
  RtlZeroMemory(urb, sizeof *urb);
  urb->UrbHeader.Length = CONTROL_URB_LENGTH;
  urb->UrbHeader.Function = function;
}

NTSTATUS Send(DeviceExtension *dx, PIRP irp, URB *urb) {
  urb->UrbHeader.Status = URB_STATUS_UNWRITTEN;
  if (dx->requestsBlocked) return ERR_DEVICE_NOT_READY;
  return SubmitUrbSync(dx, irp, urb, dx->parameters.requestTimeout);
}

}  // namespace

// The URB carries a system address rather than the MDL, so the buffer is mapped here.
NTSTATUS DescriptorTransfer(DeviceRequestDirection direction, DeviceExtension *dx, PIRP irp,
                            const DescriptorRequest *request, ULONG *resultLength, PMDL mdl) {
  PVOID data = (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
                   ? mdl->MappedSystemVa
                   : MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, NULL, FALSE, NormalPagePriority);
  if (!data) return ERR_BUFFER_MAPPING_FAILED;
  const USHORT *functions = direction == DEVICE_REQUEST_IN ? GET_DESCRIPTOR_FUNCTIONS : SET_DESCRIPTOR_FUNCTIONS;
  if (request->Recipient >= Count(GET_DESCRIPTOR_FUNCTIONS)) return ERR_INVALID_RECIPIENT;

  URB urb;
  ClearUrb(&urb, functions[request->Recipient]);
  _URB_CONTROL_DESCRIPTOR_REQUEST &d = urb.UrbControlDescriptorRequest;
  d.TransferBuffer = data;
  d.TransferBufferLength = MmGetMdlByteCount(mdl);
  d.DescriptorType = request->DescriptorType;
  d.Index = request->DescriptorIndex;
  d.LanguageId = request->LanguageId;
  const NTSTATUS status = Send(dx, irp, &urb);
  if (NT_SUCCESS(status)) *resultLength = d.TransferBufferLength;
  return status;
}

NTSTATUS FeatureRequestSend(BOOLEAN set, DeviceExtension *dx, PIRP irp, const FeatureRequest *request) {
  if (request->Recipient >= Count(SET_FEATURE_FUNCTIONS)) return ERR_INVALID_RECIPIENT;
  URB urb;
  ClearUrb(&urb, (set ? SET_FEATURE_FUNCTIONS : CLEAR_FEATURE_FUNCTIONS)[request->Recipient]);
  urb.UrbControlFeatureRequest.FeatureSelector = request->FeatureSelector;
  urb.UrbControlFeatureRequest.Index = request->Index;
  return Send(dx, irp, &urb);
}

NTSTATUS GetStatusRequest(DeviceExtension *dx, PIRP irp, PVOID buffer) {
  StatusRequest request;
  RtlCopyMemory(&request, buffer, sizeof request);
  if (request.Recipient >= Count(GET_STATUS_FUNCTIONS)) return ERR_INVALID_RECIPIENT;
  URB urb;
  ClearUrb(&urb, GET_STATUS_FUNCTIONS[request.Recipient]);
  urb.UrbControlGetStatusRequest.Index = request.Index;
  urb.UrbControlGetStatusRequest.TransferBufferLength = sizeof(USHORT);
  urb.UrbControlGetStatusRequest.TransferBuffer = buffer;
  return Send(dx, irp, &urb);
}

// The bus driver maps the MDL itself; no system address is needed here.
NTSTATUS ClassOrVendorTransfer(DeviceRequestDirection direction, DeviceExtension *dx, PIRP irp,
                               const ClassOrVendorRequest *request, ULONG *resultLength, PMDL mdl) {
  const USHORT *functions;
  if (request->Type == XRUSB_REQUEST_TYPE_CLASS)
    functions = CLASS_FUNCTIONS;
  else if (request->Type == XRUSB_REQUEST_TYPE_VENDOR)
    functions = VENDOR_FUNCTIONS;
  else
    return ERR_INVALID_TYPE;
  if (request->Recipient >= Count(CLASS_FUNCTIONS)) return ERR_INVALID_RECIPIENT;

  URB urb;
  ClearUrb(&urb, functions[request->Recipient]);
  _URB_CONTROL_VENDOR_OR_CLASS_REQUEST &v = urb.UrbControlVendorClassRequest;
  v.TransferFlags = (direction == DEVICE_REQUEST_IN ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT) |
                    ((request->Flags & SHORT_TRANSFER_OK) ? USBD_SHORT_TRANSFER_OK : 0);
  v.TransferBufferLength = mdl ? MmGetMdlByteCount(mdl) : 0;
  v.TransferBufferMDL = mdl;
  v.RequestTypeReservedBits = request->RequestTypeReservedBits;
  v.Request = request->Request;
  v.Value = request->Value;
  v.Index = request->Index;
  const NTSTATUS status = Send(dx, irp, &urb);
  if (NT_SUCCESS(status)) *resultLength = v.TransferBufferLength;
  return status;
}

NTSTATUS GetConfigurationRequest(DeviceExtension *dx, PIRP irp, PVOID buffer) {
  URB urb;
  ClearUrb(&urb, URB_FUNCTION_GET_CONFIGURATION);
  urb.UrbControlGetConfigurationRequest.TransferBufferLength = 1;
  urb.UrbControlGetConfigurationRequest.TransferBuffer = buffer;
  return Send(dx, irp, &urb);
}

NTSTATUS GetInterfaceRequest(DeviceExtension *dx, PIRP irp, PVOID buffer) {
  USHORT interfaceNumber;
  RtlCopyMemory(&interfaceNumber, buffer, sizeof interfaceNumber);
  URB urb;
  ClearUrb(&urb, URB_FUNCTION_GET_INTERFACE);
  urb.UrbControlGetInterfaceRequest.Interface = interfaceNumber;
  urb.UrbControlGetInterfaceRequest.TransferBufferLength = 1;
  urb.UrbControlGetInterfaceRequest.TransferBuffer = buffer;
  return Send(dx, irp, &urb);
}
