// The bootloader's vendor requests: the probe, the CPU reset and the memory writes.
#include "driver/control/sync_request.h"
#include "driver/core/device_extension.h"
#include "driver/firmware/firmware.h"
#include "driver/firmware/hex_record.h"
#include "include/xrusb/status.h"

namespace {

constexpr UCHAR FX_INTERNAL_MEMORY = 0xA0;
constexpr UCHAR FX_EXTERNAL_MEMORY = 0xA3;
// CPUCS in the memory maps of the FX and the FX2.
constexpr USHORT FX_CPUCS = 0x7F92;
constexpr USHORT FX2_CPUCS = 0xE600;
constexpr USHORT FX_CPUCS_ADDRESSES[] = {FX_CPUCS, FX2_CPUCS};
constexpr ULONG FX_PROBE_LENGTH = 16;
// A language table of its header alone: what the bootloader's ROM answers.
constexpr ULONG FX_BOOTLOADER_LANGUAGE_TABLE = 2;

DeviceExtension *ExtensionOf(PDEVICE_OBJECT deviceObject) {
  return static_cast<DeviceExtension *>(deviceObject->DeviceExtension);
}

// Cleared over the whole union, so that nothing of an earlier use reaches the bus.
VOID BuildVendorRequest(URB *urb, UCHAR request, USHORT address, ULONG flags, PVOID buffer, ULONG length) {
  RtlZeroMemory(urb, sizeof *urb);
  _URB_CONTROL_VENDOR_OR_CLASS_REQUEST &v = urb->UrbControlVendorClassRequest;
  v.Hdr.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  v.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
  v.Hdr.Status = URB_STATUS_UNWRITTEN;
  v.TransferFlags = flags;
  v.TransferBufferLength = length;
  v.TransferBuffer = buffer;
  v.Request = request;
  v.Value = address;
}

// Held while the device is powered down: the request is not sent.
NTSTATUS Submit(DeviceExtension *dx, PIRP irp, URB *urb) {
  if (dx->requestsBlocked) return ERR_DEVICE_NOT_READY;
  return SubmitUrbSync(dx, irp, urb, dx->parameters.requestTimeout);
}

// STATUS_NO_MEMORY when no IRP can be had.
NTSTATUS SendInOwnIrp(PDEVICE_OBJECT deviceObject, URB *urb) {
  PIRP irp = IoAllocateIrp(deviceObject->StackSize, FALSE);
  if (!irp) return STATUS_NO_MEMORY;
  const NTSTATUS status = Submit(ExtensionOf(deviceObject), irp, urb);
  IoFreeIrp(irp);
  return status;
}

}  // namespace

BOOLEAN CheckFxBootloader(PDEVICE_OBJECT deviceObject) {
  // The buffer lives on this stack, resident while the waits below are kernel-mode waits.
  UCHAR buffer[FX_PROBE_LENGTH];
  URB urb;
  BuildVendorRequest(&urb, FX_INTERNAL_MEMORY, 0, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer,
                     sizeof buffer);
  if (!NT_SUCCESS(SendInOwnIrp(deviceObject, &urb))) return FALSE;

  RtlZeroMemory(&urb, sizeof urb);
  _URB_CONTROL_DESCRIPTOR_REQUEST &d = urb.UrbControlDescriptorRequest;
  d.Hdr.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
  d.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  d.Hdr.Status = URB_STATUS_UNWRITTEN;
  d.TransferBuffer = buffer;
  d.TransferBufferLength = sizeof buffer;
  d.DescriptorType = USB_STRING_DESCRIPTOR_TYPE;
  d.Index = 0;
  d.LanguageId = 0;
  if (!NT_SUCCESS(SendInOwnIrp(deviceObject, &urb))) return FALSE;
  return d.TransferBufferLength == FX_BOOTLOADER_LANGUAGE_TABLE;
}

NTSTATUS SetCpuReset(PDEVICE_OBJECT deviceObject, UCHAR resetByte) {
  // The FX takes a write to the FX2's address and the FX2 one to the FX's, so the second
  // write's outcome speaks for both generations.
  UCHAR data = resetByte;
  NTSTATUS status = STATUS_SUCCESS;
  for (USHORT address : FX_CPUCS_ADDRESSES) {
    PIRP irp = IoAllocateIrp(deviceObject->StackSize, FALSE);
    if (!irp) return STATUS_NO_MEMORY;
    URB urb;
    BuildVendorRequest(&urb, FX_INTERNAL_MEMORY, address, USBD_TRANSFER_DIRECTION_OUT, &data, 1);
    status = Submit(ExtensionOf(deviceObject), irp, &urb);
    IoFreeIrp(irp);
  }
  return status;
}

BOOLEAN WriteFirmwareRecord(PDEVICE_OBJECT deviceObject, USHORT address, const UCHAR *data, UCHAR length,
                            ULONG fxExtRamBase) {
  URB urb;
  const UCHAR request = HexRecordIsExternal(address, fxExtRamBase) ? FX_EXTERNAL_MEMORY : FX_INTERNAL_MEMORY;
  // The bus only reads an OUT transfer's buffer.
  BuildVendorRequest(&urb, request, address, USBD_TRANSFER_DIRECTION_OUT, const_cast<UCHAR *>(data), length);
  return NT_SUCCESS(SendInOwnIrp(deviceObject, &urb));
}
