// The USB driver library's configuration helpers, as USBD.SYS offers them to function drivers.
//
// Both routines trust the block's wTotalLength, as the platform does: the caller holds the
// 9-byte configuration descriptor and wTotalLength bytes from its start (the driver reads the
// block with wTotalLength as the length it asked for). Within those bytes nothing is trusted:
// a device may send any bytes, so every descriptor is bounds-checked before it is looked at.
#include <cstring>

#include "platform/platform.h"
#include "sim/usb/descriptors.h"

namespace {

constexpr size_t kInterfaceDescriptorSize = sizeof(USB_INTERFACE_DESCRIPTOR);

const UCHAR *BlockEnd(PUSB_CONFIGURATION_DESCRIPTOR block) {
  return reinterpret_cast<const UCHAR *>(block) + block->wTotalLength;
}

bool Matches(LONG wanted, UCHAR value) { return wanted == -1 || wanted == LONG(value); }

// An interface descriptor that lies whole inside the block; the only kind handed out.
bool IsInterfaceDescriptorIn(PUSB_CONFIGURATION_DESCRIPTOR block, const UCHAR *p) {
  const UCHAR *begin = reinterpret_cast<const UCHAR *>(block);
  const UCHAR *end = BlockEnd(block);
  if (p < begin || p >= end || size_t(end - p) < kInterfaceDescriptorSize) return false;
  return p[0] >= kInterfaceDescriptorSize && p[0] <= end - p && p[1] == USB_INTERFACE_DESCRIPTOR_TYPE;
}

}  // namespace

extern "C" {

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
  if (!ConfigurationDescriptor || !StartPosition) return nullptr;
  const UCHAR *begin = reinterpret_cast<const UCHAR *>(ConfigurationDescriptor);
  const UCHAR *end = BlockEnd(ConfigurationDescriptor);
  const UCHAR *p = static_cast<const UCHAR *>(StartPosition);
  if (p < begin || p >= end) return nullptr;

  while (end - p >= 2) {
    UCHAR length = p[0];
    // A length that cannot advance the walk, or that runs past the block, ends it: what follows
    // cannot be located.
    if (length < 2 || length > end - p) return nullptr;
    // An interface descriptor too short to hold its fields is stepped over, never handed out:
    // callers read all nine bytes.
    if (p[1] == USB_INTERFACE_DESCRIPTOR_TYPE && length >= kInterfaceDescriptorSize) {
      auto *d = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR *>(p);
      if (Matches(InterfaceNumber, d->bInterfaceNumber) && Matches(AlternateSetting, d->bAlternateSetting) &&
          Matches(InterfaceClass, d->bInterfaceClass) && Matches(InterfaceSubClass, d->bInterfaceSubClass) &&
          Matches(InterfaceProtocol, d->bInterfaceProtocol))
        return const_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
    }
    p += length;
  }
  return nullptr;
}

// Each interface gets bNumEndpoints pipe entries, whatever follows its descriptor: the URB's
// shape then depends only on the descriptors the caller chose, and NumberOfPipes always agrees
// with the room behind it. Whether the endpoints are really there is for the bus to judge when
// the selection reaches it.
PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  if (!ConfigurationDescriptor || !InterfaceList) return nullptr;

  size_t interfaces = 0;
  size_t size = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor; ++e) {
    // Only descriptors found in this block can be described by this request.
    if (!IsInterfaceDescriptorIn(ConfigurationDescriptor, reinterpret_cast<const UCHAR *>(e->InterfaceDescriptor)))
      return nullptr;
    size += GET_USBD_INTERFACE_SIZE(e->InterfaceDescriptor->bNumEndpoints);
    ++interfaces;
    // The header's Length is 16 bits; a request it cannot describe is not made.
    if (size > 0xFFFF) return nullptr;
  }
  if (interfaces == 0) return nullptr;

  auto *urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, sim::usb::kUsbdLibraryPoolTag));
  if (!urb) return nullptr;
  memset(urb, 0, size);
  urb->UrbHeader.Length = USHORT(size);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

  auto *info = &urb->UrbSelectConfiguration.Interface;
  for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor; ++e) {
    const USB_INTERFACE_DESCRIPTOR *d = e->InterfaceDescriptor;
    info->Length = USHORT(GET_USBD_INTERFACE_SIZE(d->bNumEndpoints));
    info->InterfaceNumber = d->bInterfaceNumber;
    info->AlternateSetting = d->bAlternateSetting;
    info->NumberOfPipes = d->bNumEndpoints;
    PUSBD_PIPE_INFORMATION pipes = info->Pipes;
    for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
      pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
      pipes[i].PipeFlags = 0;
    }
    e->Interface = info;
    info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR *>(info) + info->Length);
  }
  return urb;
}

}  // extern "C"
