// Selecting a configuration or an alternate setting: pipes opened from the device's own
// configuration block and reported in the caller's interface records. Worker thread.
#include "windows/usbbus/bus.h"

namespace xrbus {
namespace {

struct Found {
  const USB_INTERFACE_DESCRIPTOR *iface;
  const UCHAR *end;  // of the block
};

// The interface descriptor of (number, alternate) in a block, or NULL.
Found FindInterface(const UCHAR *block, ULONG length, UCHAR number, UCHAR alternate) {
  for (ULONG at = 0; at + 2 <= length && block[at] >= 2; at += block[at]) {
    if (block[at + 1] != USB_INTERFACE_DESCRIPTOR_TYPE || block[at] < sizeof(USB_INTERFACE_DESCRIPTOR)) continue;
    auto *d = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR *>(block + at);
    if (d->bInterfaceNumber == number && d->bAlternateSetting == alternate) return {d, block + length};
  }
  return {NULL, NULL};
}

const UCHAR *ActiveBlock(Port &p, ULONG *length) {
  for (UCHAR i = 0; i < 2; ++i) {
    const UCHAR *block = ConfigurationBlock(i, length);
    if (block && block[5] == p.configuration) return block;
  }
  return NULL;
}

VOID ClosePipes(Port &p, LONG interfaceNumber) {
  for (Pipe &pipe : p.pipes)
    if (pipe.open && (interfaceNumber < 0 || pipe.interfaceNumber == interfaceNumber)) RtlZeroMemory(&pipe, sizeof pipe);
}

// Opens the endpoints of one interface and fills its record. The record's Length must hold them.
USBD_STATUS OpenInterface(Port &p, const UCHAR *block, ULONG length, PUSBD_INTERFACE_INFORMATION info) {
  Found f = FindInterface(block, length, info->InterfaceNumber, info->AlternateSetting);
  if (!f.iface) return USBD_STATUS_INVALID_PARAMETER;
  const ULONG count = f.iface->bNumEndpoints;
  if (info->Length < GET_USBD_INTERFACE_SIZE(count)) return USBD_STATUS_BUFFER_TOO_SMALL;
  ClosePipes(p, info->InterfaceNumber);
  info->Class = f.iface->bInterfaceClass;
  info->SubClass = f.iface->bInterfaceSubClass;
  info->Protocol = f.iface->bInterfaceProtocol;
  info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(ULONG_PTR(0x100 + info->InterfaceNumber));
  info->NumberOfPipes = count;
  const UCHAR *at = reinterpret_cast<const UCHAR *>(f.iface) + f.iface->bLength;
  for (ULONG k = 0; k < count; ++k) {
    while (at + 2 <= f.end && at[0] >= 2 && at[1] != USB_ENDPOINT_DESCRIPTOR_TYPE) at += at[0];
    if (at + sizeof(USB_ENDPOINT_DESCRIPTOR) > f.end) return USBD_STATUS_INVALID_PARAMETER;
    auto *e = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR *>(at);
    at += e->bLength;
    Pipe *pipe = NULL;
    for (Pipe &candidate : p.pipes)
      if (!candidate.open) {
        pipe = &candidate;
        break;
      }
    if (!pipe) return USBD_STATUS_INSUFFICIENT_RESOURCES;
    pipe->open = TRUE;
    pipe->address = e->bEndpointAddress;
    pipe->type = UCHAR(e->bmAttributes & USB_ENDPOINT_TYPE_MASK);
    pipe->interval = e->bInterval;
    pipe->interfaceNumber = info->InterfaceNumber;
    pipe->maxPacket = USHORT(e->wMaxPacketSize & 0x7FF);
    pipe->transactions = UCHAR(((e->wMaxPacketSize >> 11) & 3) + 1);
    USBD_PIPE_INFORMATION &out = info->Pipes[k];
    out.MaximumPacketSize = pipe->maxPacket;
    out.EndpointAddress = pipe->address;
    out.Interval = pipe->interval;
    out.PipeType = USBD_PIPE_TYPE(pipe->type);
    out.PipeHandle = pipe;
    // MaximumTransferSize and PipeFlags stay as the caller gave them.
  }
  if (info->InterfaceNumber < sizeof p.alternate) p.alternate[info->InterfaceNumber] = info->AlternateSetting;
  return USBD_STATUS_SUCCESS;
}

}  // namespace

Pipe *PipeOf(Port &p, USBD_PIPE_HANDLE handle) {
  for (Pipe &pipe : p.pipes)
    if (&pipe == handle && pipe.open) return &pipe;
  return NULL;
}

USBD_STATUS SelectConfiguration(Port &p, PURB urb) {
  auto &select = urb->UrbSelectConfiguration;
  const ULONG head = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  if (urb->UrbHeader.Length < head) return USBD_STATUS_INVALID_PARAMETER;
  PUSB_CONFIGURATION_DESCRIPTOR asked = select.ConfigurationDescriptor;
  ClosePipes(p, -1);
  if (!asked) {
    DeviceConfigured(p, 0);
    select.ConfigurationHandle = NULL;
    return USBD_STATUS_SUCCESS;
  }
  ULONG length = 0;
  const UCHAR *block = NULL;
  for (UCHAR i = 0; i < 2 && !block; ++i) {
    block = ConfigurationBlock(i, &length);
    if (block && block[5] != asked->bConfigurationValue) block = NULL;
  }
  // USB 2.0, 9.4.7: a device stalls SET_CONFIGURATION for a value it lacks.
  if (!block) return USBD_STATUS_STALL_PID;
  DeviceConfigured(p, asked->bConfigurationValue);
  // One record per interface of the caller's descriptor, each as long as it says.
  PUCHAR at = reinterpret_cast<PUCHAR>(&select.Interface);
  const PUCHAR end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
  for (ULONG i = 0; i < asked->bNumInterfaces; ++i) {
    auto *info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
    if (at + offsetof(USBD_INTERFACE_INFORMATION, Pipes) > end || info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) ||
        at + info->Length > end) {
      ClosePipes(p, -1);
      DeviceConfigured(p, 0);
      return USBD_STATUS_INVALID_PARAMETER;
    }
    USBD_STATUS status = OpenInterface(p, block, length, info);
    if (!USBD_SUCCESS(status)) {
      ClosePipes(p, -1);
      DeviceConfigured(p, 0);
      return status;
    }
    at += info->Length;
  }
  select.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(ULONG_PTR(0x200 + p.configuration));
  return USBD_STATUS_SUCCESS;
}

USBD_STATUS SelectInterface(Port &p, PURB urb) {
  auto &select = urb->UrbSelectInterface;
  const ULONG head = offsetof(struct _URB_SELECT_INTERFACE, Interface);
  if (urb->UrbHeader.Length < head + offsetof(USBD_INTERFACE_INFORMATION, Pipes) || !p.configuration)
    return USBD_STATUS_INVALID_PARAMETER;
  if (select.ConfigurationHandle != reinterpret_cast<USBD_CONFIGURATION_HANDLE>(ULONG_PTR(0x200 + p.configuration)))
    return USBD_STATUS_INVALID_PARAMETER;
  if (head + select.Interface.Length > urb->UrbHeader.Length) return USBD_STATUS_INVALID_PARAMETER;
  ULONG length = 0;
  const UCHAR *block = ActiveBlock(p, &length);
  if (!block) return USBD_STATUS_INVALID_PARAMETER;
  return OpenInterface(p, block, length, &select.Interface);
}

}  // namespace xrbus
