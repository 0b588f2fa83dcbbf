// One URB or port request on the worker thread: requests on endpoint 0 become a setup packet
// answered by the bus (standard requests) or the model; data transfers go to the model, with the
// faults a test injected; a stall halts the pipe until it is reset.
#include "windows/usbbus/bus.h"

namespace xrbus {
namespace {

PURB UrbOf(PIRP irp) { return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1); }

// The transfer buffer of any URB with the common transfer layout; NULL when it has none or the
// MDL cannot be mapped.
#define XRBUS_SAME_BUFFER_FIELDS(kind)                                                         \
  static_assert(offsetof(struct kind, TransferBufferLength) ==                               \
                    offsetof(struct _URB_CONTROL_TRANSFER, TransferBufferLength) &&          \
                offsetof(struct kind, TransferBufferMDL) == offsetof(struct _URB_CONTROL_TRANSFER, TransferBufferMDL))
XRBUS_SAME_BUFFER_FIELDS(_URB_CONTROL_DESCRIPTOR_REQUEST);
XRBUS_SAME_BUFFER_FIELDS(_URB_CONTROL_GET_STATUS_REQUEST);
XRBUS_SAME_BUFFER_FIELDS(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
XRBUS_SAME_BUFFER_FIELDS(_URB_CONTROL_GET_CONFIGURATION_REQUEST);
XRBUS_SAME_BUFFER_FIELDS(_URB_CONTROL_GET_INTERFACE_REQUEST);
XRBUS_SAME_BUFFER_FIELDS(_URB_BULK_OR_INTERRUPT_TRANSFER);
XRBUS_SAME_BUFFER_FIELDS(_URB_ISOCH_TRANSFER);
PUCHAR BufferOf(PURB urb) {
  auto &t = urb->UrbControlTransfer;
  if (t.TransferBuffer) return static_cast<PUCHAR>(t.TransferBuffer);
  if (t.TransferBufferMDL) return static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(t.TransferBufferMDL, NormalPagePriority));
  return NULL;
}

// The injected fault for the next transaction on an endpoint, if any.
BOOLEAN TakeFault(Bus *bus, ULONG port, UCHAR endpoint, Reply *reply) {
  BOOLEAN applies = FALSE;
  KIRQL irql;
  KeAcquireSpinLock(&bus->lock, &irql);
  Fault &f = bus->ports[port].faults[EndpointIndex(endpoint)];
  if (f.kind != XRBUS_FAULT_NONE) {
    if (f.skip) {
      --f.skip;
    } else {
      applies = TRUE;
      reply->kind = f.kind == XRBUS_FAULT_STALL ? Answer::Stall : f.kind == XRBUS_FAULT_NAK ? Answer::Nak : Answer::Error;
      reply->status = f.kind == XRBUS_FAULT_STALL ? USBD_STATUS_STALL_PID : f.status;
      reply->length = 0;
      if (f.count && --f.count == 0) f.kind = XRBUS_FAULT_NONE;
    }
  }
  KeReleaseSpinLock(&bus->lock, irql);
  return applies;
}

Reply StallReply() { return {Answer::Stall, USBD_STATUS_STALL_PID, 0}; }

Reply StandardRequest(Port &p, const Setup &s, PUCHAR buffer, ULONG length) {
  const UCHAR recipient = s.bmRequestType & 0x1F;
  UCHAR answer[2] = {0, 0};
  switch (s.bRequest) {
    case USB_REQUEST_GET_STATUS:
      if (!s.In()) return StallReply();
      if (recipient == 0) answer[0] = UCHAR((p.configuration == 2 ? 1 : 0) | (p.remoteWakeup ? 2 : 0));
      if (recipient == 2) answer[0] = (p.deviceHalted >> EndpointIndex(UCHAR(s.wIndex))) & 1;
      break;
    case USB_REQUEST_CLEAR_FEATURE:
    case USB_REQUEST_SET_FEATURE: {
      const BOOLEAN set = s.bRequest == USB_REQUEST_SET_FEATURE;
      if (recipient == 2 && s.wValue == USB_FEATURE_ENDPOINT_STALL) {
        const ULONG bit = 1u << EndpointIndex(UCHAR(s.wIndex));
        p.deviceHalted = set ? p.deviceHalted | bit : p.deviceHalted & ~bit;
      } else if (recipient == 0 && s.wValue == USB_FEATURE_REMOTE_WAKEUP) {
        p.remoteWakeup = set;
      } else {
        return StallReply();
      }
      return {Answer::Ack, USBD_STATUS_SUCCESS, 0};
    }
    case USB_REQUEST_GET_DESCRIPTOR:
      return DescriptorRequest(p, s, buffer, length);
    case USB_REQUEST_GET_CONFIGURATION:
      answer[0] = p.configuration;
      break;
    case USB_REQUEST_GET_INTERFACE:
      if (!p.configuration || s.wIndex >= (p.configuration == 1 ? 3 : 1)) return StallReply();
      answer[0] = p.alternate[s.wIndex];
      break;
    default:
      return StallReply();
  }
  ULONG n = s.bRequest == USB_REQUEST_GET_STATUS ? 2 : 1;
  if (n > length) n = length;
  RtlCopyMemory(buffer, answer, n);
  return {Answer::Ack, USBD_STATUS_SUCCESS, n};
}

// The setup packet of a control URB on endpoint 0; FALSE for a function that is not one.
BOOLEAN SetupOf(PURB urb, Setup *s) {
  const USHORT f = urb->UrbHeader.Function;
  RtlZeroMemory(s, sizeof *s);
  // The _OTHER functions are numbered apart from the other three.
  auto recipient = [](USHORT function, USHORT device, UCHAR base) {
    const bool other = function == URB_FUNCTION_GET_STATUS_FROM_OTHER || function == URB_FUNCTION_SET_FEATURE_TO_OTHER ||
                       function == URB_FUNCTION_CLEAR_FEATURE_TO_OTHER;
    return UCHAR(base | (other ? 3 : function - device));
  };
  switch (f) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT: {
      auto &d = urb->UrbControlDescriptorRequest;
      s->bmRequestType = f == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ? 0x80 : f == URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE ? 0x81 : 0x82;
      s->bRequest = USB_REQUEST_GET_DESCRIPTOR;
      s->wValue = USHORT(d.DescriptorType << 8 | d.Index);
      s->wIndex = d.LanguageId;
      s->wLength = USHORT(d.TransferBufferLength);
      return TRUE;
    }
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_OTHER:
      s->bmRequestType = recipient(f, URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0x80);
      s->bRequest = USB_REQUEST_GET_STATUS;
      s->wIndex = urb->UrbControlGetStatusRequest.Index;
      s->wLength = USHORT(urb->UrbControlGetStatusRequest.TransferBufferLength);
      return TRUE;
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_SET_FEATURE_TO_OTHER:
      s->bmRequestType = recipient(f, URB_FUNCTION_SET_FEATURE_TO_DEVICE, 0);
      s->bRequest = USB_REQUEST_SET_FEATURE;
      s->wValue = urb->UrbControlFeatureRequest.FeatureSelector;
      s->wIndex = urb->UrbControlFeatureRequest.Index;
      return TRUE;
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER:
      s->bmRequestType = recipient(f, URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, 0);
      s->bRequest = USB_REQUEST_CLEAR_FEATURE;
      s->wValue = urb->UrbControlFeatureRequest.FeatureSelector;
      s->wIndex = urb->UrbControlFeatureRequest.Index;
      return TRUE;
    case URB_FUNCTION_GET_CONFIGURATION:
      s->bmRequestType = 0x80;
      s->bRequest = USB_REQUEST_GET_CONFIGURATION;
      s->wLength = 1;
      return TRUE;
    case URB_FUNCTION_GET_INTERFACE:
      s->bmRequestType = 0x81;
      s->bRequest = USB_REQUEST_GET_INTERFACE;
      s->wIndex = urb->UrbControlGetInterfaceRequest.Interface;
      s->wLength = 1;
      return TRUE;
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: {
      auto &v = urb->UrbControlVendorClassRequest;
      UCHAR type = 0x40, r = 0;
      switch (f) {
        case URB_FUNCTION_VENDOR_INTERFACE: r = 1; break;
        case URB_FUNCTION_VENDOR_ENDPOINT: r = 2; break;
        case URB_FUNCTION_VENDOR_OTHER: r = 3; break;
        case URB_FUNCTION_CLASS_DEVICE: type = 0x20; break;
        case URB_FUNCTION_CLASS_INTERFACE: type = 0x20; r = 1; break;
        case URB_FUNCTION_CLASS_ENDPOINT: type = 0x20; r = 2; break;
        case URB_FUNCTION_CLASS_OTHER: type = 0x20; r = 3; break;
        default: break;
      }
      s->bmRequestType = UCHAR(type | r | v.RequestTypeReservedBits | (USBD_TRANSFER_DIRECTION_FLAG(v.TransferFlags) ? 0x80 : 0));
      s->bRequest = v.Request;
      s->wValue = v.Value;
      s->wIndex = v.Index;
      s->wLength = USHORT(v.TransferBufferLength);
      return TRUE;
    }
    default:
      return FALSE;
  }
}

USBD_STATUS Finish(PURB urb, Reply r, BOOLEAN hasBuffer) {
  if (hasBuffer && r.kind != Answer::Nak) urb->UrbControlTransfer.TransferBufferLength = r.kind == Answer::Ack ? r.length : 0;
  return r.kind == Answer::Ack ? USBD_STATUS_SUCCESS : r.status;
}

// A control transfer: on endpoint 0 ('pipe' NULL) the bus answers the standard requests.
USBD_STATUS RunControl(Port &p, PURB urb, const Setup &s, Pipe *pipe) {
  // Feature requests carry no buffer fields: wLength 0 keeps their reserved words unread.
  ULONG length = s.wLength ? urb->UrbControlTransfer.TransferBufferLength : 0;
  if (length > s.wLength) length = s.wLength;
  PUCHAR buffer = BufferOf(urb);
  if (length && !buffer) return USBD_STATUS_INVALID_PARAMETER;
  Reply r;
  if (pipe)
    r = PipeControl(p, pipe->address, s, buffer, length);
  else if ((s.bmRequestType & 0x60) == 0)
    r = StandardRequest(p, s, buffer, length);
  else if ((s.bmRequestType & 0x60) == 0x40)
    r = VendorRequest(p, s, buffer, length);
  else
    r = StallReply();
  if (r.kind == Answer::Ack && !s.In()) r.length = length;
  return Finish(urb, r, TRUE);
}

// FALSE: the transfer waits.
BOOLEAN RunData(Bus *bus, ULONG port, PURB urb, Pass &pass, USBD_STATUS *status) {
  Port &p = bus->ports[port];
  auto &t = urb->UrbBulkOrInterruptTransfer;
  Pipe *pipe = PipeOf(p, t.PipeHandle);
  if (!pipe) return *status = USBD_STATUS_INVALID_PIPE_HANDLE, TRUE;
  const BOOLEAN in = (pipe->address & 0x80) != 0;
  if ((pipe->type != UsbdPipeTypeBulk && pipe->type != UsbdPipeTypeInterrupt) ||
      BOOLEAN(USBD_TRANSFER_DIRECTION_FLAG(t.TransferFlags) != 0) != in)
    return *status = USBD_STATUS_INVALID_PARAMETER, TRUE;
  const ULONG bit = 1u << EndpointIndex(pipe->address);
  if ((pass.blocked[port] & bit) || pipe->hostHalted) {
    pass.blocked[port] |= bit;
    return FALSE;
  }
  PUCHAR buffer = BufferOf(urb);
  if (t.TransferBufferLength && !buffer) return *status = USBD_STATUS_INVALID_PARAMETER, TRUE;
  Reply r;
  if (!TakeFault(bus, port, pipe->address, &r)) {
    if (p.deviceHalted & bit)
      r = StallReply();
    else
      r = in ? DeviceIn(p, pipe->address, buffer, t.TransferBufferLength)
             : DeviceOut(p, pipe->address, buffer, t.TransferBufferLength);
  }
  if (r.kind == Answer::Nak) {
    pass.blocked[port] |= bit;
    ++pass.naked[port];
    return FALSE;
  }
  *status = Finish(urb, r, TRUE);
  if (*status == USBD_STATUS_SUCCESS && in && r.length < t.TransferBufferLength && !(t.TransferFlags & USBD_SHORT_TRANSFER_OK))
    *status = USBD_STATUS_ERROR_SHORT_TRANSFER;
  // A data pipe that saw a stall or an error is halted on the host until reset; a stall also
  // leaves the endpoint halted in the device.
  if (USBD_HALTED(*status)) {
    pipe->hostHalted = TRUE;
    if (r.kind == Answer::Stall) p.deviceHalted |= bit;
  }
  return TRUE;
}

BOOLEAN RunIso(Bus *bus, ULONG port, PURB urb, Pass &pass, USBD_STATUS *status) {
  Port &p = bus->ports[port];
  auto &iso = urb->UrbIsochronousTransfer;
  Pipe *pipe = PipeOf(p, iso.PipeHandle);
  if (!pipe) return *status = USBD_STATUS_INVALID_PIPE_HANDLE, TRUE;
  const BOOLEAN in = (pipe->address & 0x80) != 0;
  const ULONG n = iso.NumberOfPackets;
  if (pipe->type != UsbdPipeTypeIsochronous || BOOLEAN(USBD_TRANSFER_DIRECTION_FLAG(iso.TransferFlags) != 0) != in ||
      n == 0 || n > 1024 || urb->UrbHeader.Length < offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket) + n * sizeof(USBD_ISO_PACKET_DESCRIPTOR))
    return *status = USBD_STATUS_INVALID_PARAMETER, TRUE;
  const ULONG length = iso.TransferBufferLength;
  PUCHAR buffer = BufferOf(urb);
  if (length && !buffer) return *status = USBD_STATUS_INVALID_PARAMETER, TRUE;
  for (ULONG k = 0; k < n; ++k)
    if (iso.IsoPacket[k].Offset > length || (k && iso.IsoPacket[k].Offset < iso.IsoPacket[k - 1].Offset))
      return *status = USBD_STATUS_INVALID_PARAMETER, TRUE;
  const ULONG bit = 1u << EndpointIndex(pipe->address);
  if (pass.blocked[port] & bit) return FALSE;
  if (iso.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) iso.StartFrame = CurrentFrame() + 1;
  const ULONG packetMax = ULONG(pipe->maxPacket) * pipe->transactions;
  ULONG errors = 0, bytes = 0;
  for (ULONG k = 0; k < n; ++k) {
    USBD_ISO_PACKET_DESCRIPTOR &packet = iso.IsoPacket[k];
    ULONG room = (k + 1 < n ? iso.IsoPacket[k + 1].Offset : length) - packet.Offset;
    if (in && room > packetMax) room = packetMax;
    if (in) packet.Length = 0;
    Reply r;
    if (!TakeFault(bus, port, pipe->address, &r))
      r = in ? DeviceIn(p, pipe->address, buffer + packet.Offset, room) : DeviceOut(p, pipe->address, buffer + packet.Offset, room);
    switch (r.kind) {
      case Answer::Ack:
        if (in) packet.Length = r.length;
        packet.Status = USBD_STATUS_SUCCESS;
        bytes += in ? r.length : room;
        break;
      case Answer::Nak:  // nothing came in this packet's slot
        packet.Status = USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
        break;
      default:
        packet.Status = r.status;
        break;
    }
    if (USBD_ERROR(packet.Status)) ++errors;
  }
  iso.ErrorCount = errors;
  iso.TransferBufferLength = bytes;
  *status = errors == n ? USBD_STATUS_ISOCH_REQUEST_FAILED : USBD_STATUS_SUCCESS;
  return TRUE;
}

// Aborting a pipe ends the transfers before it that still wait.
VOID AbortWaiting(ULONG port, Pipe *pipe, Pass &pass) {
  for (LIST_ENTRY *e = pass.waiting.Flink; e != &pass.waiting;) {
    LIST_ENTRY *next = e->Flink;
    PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    if (ExtensionOf(s->DeviceObject)->port == port && s->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB &&
        UrbOf(irp)->UrbBulkOrInterruptTransfer.PipeHandle == pipe) {
      RemoveEntryList(e);
      CompleteWith(irp, USBD_STATUS_CANCELED);
    }
    e = next;
  }
}

}  // namespace

BOOLEAN RunQueued(Bus *bus, PIRP irp, Pass &pass) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  const ULONG port = ExtensionOf(s->DeviceObject)->port;
  Port &p = bus->ports[port];
  if (!p.present) {
    CompleteWith(irp, USBD_STATUS_DEVICE_GONE);
    return TRUE;
  }
  switch (s->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_RESET_PORT:
      DevicePortReset(p);
      for (Pipe &pipe : p.pipes) pipe.hostHalted = FALSE;
      CompleteWith(irp, USBD_STATUS_SUCCESS);
      return TRUE;
    case IOCTL_INTERNAL_USB_CYCLE_PORT: {
      // The device leaves and comes back as a new one, after this request has been answered.
      const USHORT productId = p.productId;
      CompleteWith(irp, USBD_STATUS_SUCCESS);
      UnplugDevice(bus, port);
      ULONG again;
      (VOID) PlugDevice(bus, productId, &again);
      return TRUE;
    }
    default:
      break;
  }
  PURB urb = UrbOf(irp);
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  Setup setup;
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
      status = SelectConfiguration(p, urb);
      break;
    case URB_FUNCTION_SELECT_INTERFACE:
      status = SelectInterface(p, urb);
      break;
    case URB_FUNCTION_ABORT_PIPE: {
      Pipe *pipe = PipeOf(p, urb->UrbPipeRequest.PipeHandle);
      if (pipe)
        AbortWaiting(port, pipe, pass);
      else
        status = USBD_STATUS_INVALID_PIPE_HANDLE;
      break;
    }
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL: {
      Pipe *pipe = PipeOf(p, urb->UrbPipeRequest.PipeHandle);
      if (!pipe) {
        status = USBD_STATUS_INVALID_PIPE_HANDLE;
        break;
      }
      if (urb->UrbHeader.Function != URB_FUNCTION_SYNC_CLEAR_STALL) pipe->hostHalted = FALSE;
      if (urb->UrbHeader.Function != URB_FUNCTION_SYNC_RESET_PIPE) p.deviceHalted &= ~(1u << EndpointIndex(pipe->address));
      break;
    }
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
      urb->UrbGetCurrentFrameNumber.FrameNumber = CurrentFrame();
      break;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      if (!RunData(bus, port, urb, pass, &status)) return FALSE;
      break;
    case URB_FUNCTION_ISOCH_TRANSFER:
      if (!RunIso(bus, port, urb, pass, &status)) return FALSE;
      break;
    case URB_FUNCTION_CONTROL_TRANSFER:
    case URB_FUNCTION_CONTROL_TRANSFER_EX: {
      auto &c = urb->UrbControlTransfer;
      const PUCHAR raw = c.SetupPacket;
      setup = {raw[0], raw[1], USHORT(raw[2] | raw[3] << 8), USHORT(raw[4] | raw[5] << 8), USHORT(raw[6] | raw[7] << 8)};
      Pipe *pipe = NULL;
      if (!(c.TransferFlags & USBD_DEFAULT_PIPE_TRANSFER)) {
        pipe = PipeOf(p, c.PipeHandle);
        if (!pipe || pipe->type != UsbdPipeTypeControl) {
          status = USBD_STATUS_INVALID_PIPE_HANDLE;
          break;
        }
      }
      status = RunControl(p, urb, setup, pipe);
      break;
    }
    case URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE:
    case URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE:
    case URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT:
      status = USBD_STATUS_STALL_PID;  // the test device keeps its descriptors
      break;
    default:
      status = SetupOf(urb, &setup) ? RunControl(p, urb, setup, NULL) : USBD_STATUS_INVALID_URB_FUNCTION;
      break;
  }
  urb->UrbHeader.Status = status;
  irp->IoStatus.Status = IrpStatusFor(status);
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return TRUE;
}

}  // namespace xrbus
