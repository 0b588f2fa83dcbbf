// IRP_MJ_INTERNAL_DEVICE_CONTROL of the USB device: URB dispatch and validation, pipe requests,
// port reset and cycle, bus information, and the bus thread's run of a transfer against the
// device. Selection, control requests and isochronous transfers have files of their own.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>

#include "sim/kernel/clock.h"
#include "sim/kernel/io_manager.h"
#include "sim/kernel/verifier.h"
#include "sim/usb/bus_internal.h"
#include "platform/host/usbioctl.h"

#ifndef STATUS_DEVICE_POWERED_OFF
#define STATUS_DEVICE_POWERED_OFF ((NTSTATUS)0x8000000FL)
#endif

namespace sim::usb::detail {

uint8_t *BufferOf(PURB urb) {
  auto &x = urb->UrbBulkOrInterruptTransfer;
  if (x.TransferBufferMDL) sim::CheckMdlUsable(x.TransferBufferMDL, "the bus's transfer");
  if (x.TransferBufferMDL) return static_cast<uint8_t *>(MmGetSystemAddressForMdlSafe(x.TransferBufferMDL, NormalPagePriority));
  return static_cast<uint8_t *>(x.TransferBuffer);
}

// A transfer buffer of 'length' bytes must be there, through the MDL when one is given.
bool BufferValid(PURB urb, ULONG length) {
  auto &x = urb->UrbBulkOrInterruptTransfer;
  if (length == 0) return true;
  if (x.TransferBufferMDL) return MmGetMdlByteCount(x.TransferBufferMDL) >= length;
  return x.TransferBuffer != nullptr;
}

Pipe *PipeOf(Device &d, USBD_PIPE_HANDLE handle) {
  auto it = d.pipes.find(handle);
  return it == d.pipes.end() ? nullptr : it->second.get();
}

namespace {

USBD_STATUS BuildBulk(Device &d, PURB urb, Transfer &t) {
  auto &x = urb->UrbBulkOrInterruptTransfer;
  if (urb->UrbHeader.Length < sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) return USBD_STATUS_INVALID_PARAMETER;
  Pipe *pipe = PipeOf(d, x.PipeHandle);
  if (!pipe) return USBD_STATUS_INVALID_PIPE_HANDLE;
  t.pipe = pipe;
  t.endpoint = pipe->endpoint.address;
  if (pipe->endpoint.type != EndpointType::Bulk && pipe->endpoint.type != EndpointType::Interrupt)
    return USBD_STATUS_INVALID_PARAMETER;
  if (x.TransferFlags & ~ULONG(VALID_TRANSFER_FLAGS_MASK)) return USBD_STATUS_INVALID_PARAMETER;
  if (bool(USBD_TRANSFER_DIRECTION_FLAG(x.TransferFlags)) != pipe->endpoint.In()) return USBD_STATUS_INVALID_PARAMETER;
  t.length = x.TransferBufferLength;
  t.shortOk = x.TransferFlags & USBD_SHORT_TRANSFER_OK;
  if (!BufferValid(urb, t.length)) return USBD_STATUS_INVALID_PARAMETER;
  return USBD_STATUS_SUCCESS;
}

// The fault that answers this transfer, if any (its count is used up). Lock held.
std::optional<Response> FaultFor(Device &d, const Transfer &t) {
  for (auto it = d.faults.begin(); it != d.faults.end(); ++it) {
    bool match = it->byRequest ? (t.control && !t.pipe && it->key == t.setup.bRequest) : it->key == t.endpoint;
    if (!match) continue;
    Response r = it->fault.response;
    if (it->fault.count && --it->fault.count == 0) d.faults.erase(it);
    return r;
  }
  return std::nullopt;
}

// A data transfer that ends before the bus ran it (the device has left, or it was cancelled on
// its way in) moved nothing, and its URB says so as the bus thread's end of a transfer does.
// Fields are written only where the URB has them.
void NothingMoved(PURB urb, USBD_STATUS status) {
  const USHORT function = urb->UrbHeader.Function;
  if (function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && function != URB_FUNCTION_CONTROL_TRANSFER &&
      function != URB_FUNCTION_ISOCH_TRANSFER)
    return;
  if (urb->UrbHeader.Length < sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) return;
  urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
  auto &iso = urb->UrbIsochronousTransfer;
  if (function != URB_FUNCTION_ISOCH_TRANSFER ||
      urb->UrbHeader.Length < offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket) +
                                  size_t(iso.NumberOfPackets) * sizeof(USBD_ISO_PACKET_DESCRIPTOR))
    return;
  for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
    iso.IsoPacket[i].Length = 0;
    iso.IsoPacket[i].Status = status;
  }
  iso.ErrorCount = iso.NumberOfPackets;
}

NTSTATUS SubmitUrb(PDEVICE_OBJECT pdo, PIRP irp, PURB urb) {
  if (!urb) return Answer(irp, STATUS_INVALID_PARAMETER);
  BusState &b = State();
  std::unique_lock<std::mutex> lock(b.lock);
  USHORT function = urb->UrbHeader.Function;
  if (b.holdArrivals && (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER || function == URB_FUNCTION_ISOCH_TRANSFER)) {
    ++b.arrivalsHeld;
    b.arrivalsReleased.wait(lock, [&] { return !b.holdArrivals; });
    --b.arrivalsHeld;
  }
  Device &d = *DeviceOf(pdo);
  Outcome out;
  auto *t = new Transfer;
  t->irp = irp;
  t->urb = urb;
  t->device = &d;
  bool isTransfer = false;
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  if (!d.present) {
    status = USBD_STATUS_DEVICE_GONE;
    NothingMoved(urb, status);
  } else if (RefusedWhileSuspended(d, function)) {
    TraceUrb(d, urb, nullptr);
    d.trace.back().irpStatus = STATUS_DEVICE_POWERED_OFF;
    delete t;
    lock.unlock();
    return Answer(irp, STATUS_DEVICE_POWERED_OFF);
  } else if (std::optional<USBD_STATUS> formatted = BuildFormattedRequest(urb, *t)) {
    isTransfer = true;
    status = *formatted;
  } else {
    switch (function) {
      case URB_FUNCTION_CONTROL_TRANSFER:
        isTransfer = true;
        status = BuildControl(d, urb, *t);
        break;
      case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        isTransfer = true;
        status = BuildBulk(d, urb, *t);
        break;
      case URB_FUNCTION_ISOCH_TRANSFER:
        isTransfer = true;
        status = BuildIso(d, urb, *t);
        break;
      case URB_FUNCTION_SELECT_CONFIGURATION:
        status = SelectConfiguration(d, urb, out);
        break;
      case URB_FUNCTION_SELECT_INTERFACE:
        status = SelectInterface(d, urb, out);
        break;
      case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
        if (urb->UrbHeader.Length < sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER)) {
          status = USBD_STATUS_INVALID_PARAMETER;
          break;
        }
        urb->UrbGetCurrentFrameNumber.FrameNumber = CurrentFrame();
        break;
      case URB_FUNCTION_ABORT_PIPE:
      case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
      case URB_FUNCTION_SYNC_RESET_PIPE:
      case URB_FUNCTION_SYNC_CLEAR_STALL: {
        if (urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST)) {
          status = USBD_STATUS_INVALID_PARAMETER;
          break;
        }
        Pipe *pipe = PipeOf(d, urb->UrbPipeRequest.PipeHandle);
        if (!pipe) {
          status = USBD_STATUS_INVALID_PIPE_HANDLE;
          break;
        }
        if (function == URB_FUNCTION_ABORT_PIPE) {
          // Answered from the bus thread once the transfer the bus is moving on the pipe has
          // finished too; the ones taken off the pipe now complete with it.
          IoMarkIrpPending(irp);
          d.waitingAborts.push_back({irp, pipe, 0, TakeTransfers(d, pipe, USBD_STATUS_CANCELED)});
          out.pending = true;
          break;
        }
        // The resets are synchronous requests the USB stack takes at PASSIVE_LEVEL only, and
        // with no transfer left on the pipe: the client aborts first (learn.microsoft.com,
        // _URB_PIPE_REQUEST; "How to recover from USB pipe errors"). usb.h's
        // USBD_STATUS_ERROR_BUSY is the answer for a pipe closed or reset under transfers.
        if (KeGetCurrentIrql() != PASSIVE_LEVEL)
          VerifierFail(check::kIrqlMisuse, "USB pipe reset (URB function 0x%x) sent at IRQL %u, not PASSIVE_LEVEL",
                       unsigned(function), unsigned(KeGetCurrentIrql()));
        if (PendingOn(d, pipe)) {
          status = USBD_STATUS_ERROR_BUSY;
          break;
        }
        if (function != URB_FUNCTION_SYNC_CLEAR_STALL) pipe->halted = false;
        if (function != URB_FUNCTION_SYNC_CLEAR_STALL) pipe->isoStreaming = false;
        if (function != URB_FUNCTION_SYNC_RESET_PIPE) d.deviceHalted.erase(pipe->endpoint.address);
        // The pipe's queue may run again.
        State().wake.notify_all();
        break;
      }
      default:
        status = USBD_STATUS_INVALID_URB_FUNCTION;
        break;
    }
  }
  uint64_t seq = TraceUrb(d, urb, isTransfer ? t : nullptr);
  if (isTransfer && status == USBD_STATUS_SUCCESS) {
    t->traceSeq = seq;
    TraceOutData(d, seq, urb, *t);
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    if (!QueueTransfer(t, lock)) {
      // Cancelled before it reached the bus's queue.
      urb->UrbHeader.Status = USBD_STATUS_CANCELED;
      NothingMoved(urb, USBD_STATUS_CANCELED);
      TraceOutcome(d, seq, USBD_STATUS_CANCELED, 0);
      delete t;
      lock.unlock();
      Deliver({{irp, STATUS_CANCELLED}});
      return STATUS_PENDING;
    }
    lock.unlock();
    return STATUS_PENDING;
  }
  bool clearLength = isTransfer && t->hasBuffer;
  delete t;
  if (!out.pending) {
    urb->UrbHeader.Status = status;
    if (clearLength) urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    TraceOutcome(d, seq, status, 0);
  } else {
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    WaitingAbort &abort = d.waitingAborts.back();
    abort.traceSeq = seq;
    CompleteWaitingAborts(d, abort.pipe);
  }
  lock.unlock();
  for (auto &note : out.notes) note();
  Deliver(out.others);
  if (out.pending) return STATUS_PENDING;
  return Answer(irp, IrpStatusFor(status));
}

NTSTATUS ResetPort(PDEVICE_OBJECT pdo, PIRP irp) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) return Answer(irp, STATUS_INVALID_DEVICE_STATE);
  std::vector<Completion> done;
  Notes notes;
  bool present;
  {
    std::lock_guard<std::mutex> guard(State().lock);
    Device &d = *DeviceOf(pdo);
    present = d.present;
  }
  if (!present) return Answer(irp, STATUS_DEVICE_NOT_CONNECTED);
  {
    std::lock_guard<std::mutex> guard(State().lock);
    Device &d = *DeviceOf(pdo);
    done = TakeTransfers(d, nullptr, USBD_STATUS_CANCELED);
    for (auto &[h, p] : d.pipes) p->halted = false;
    d.deviceHalted.clear();
    d.remoteWakeupEnabled = false;
    // The hub puts the configuration and alternate settings back after the reset, so the pipe
    // handles stay good.
    auto model = d.model;
    uint8_t value = d.configurationValue;
    auto alternates = d.alternates;
    notes.push_back([model, value, alternates] {
      if (model->portReset) model->portReset();
      if (value && model->configured) model->configured(value);
      for (auto [n, a] : alternates)
        if (a && model->interfaceSelected) model->interfaceSelected(n, a);
    });
  }
  Deliver(done);
  for (auto &note : notes) note();
  return Answer(irp, STATUS_SUCCESS);
}

NTSTATUS CyclePort(PDEVICE_OBJECT pdo, PIRP irp) {
  std::shared_ptr<DeviceModel> model;
  {
    std::lock_guard<std::mutex> guard(State().lock);
    Device &d = *DeviceOf(pdo);
    if (d.present) model = d.model;
  }
  if (!model) return Answer(irp, STATUS_DEVICE_NOT_CONNECTED);
  // The device leaves and comes back on its own time, after this request has been answered.
  NTSTATUS status = Answer(irp, STATUS_SUCCESS);
  Bus::Get().Reenumerate(pdo, model);
  return status;
}

NTSTATUS GetBusInfo(PDEVICE_OBJECT pdo, PIRP irp) {
  auto *info = static_cast<PUSB_BUS_NOTIFICATION>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
  if (!info) return Answer(irp, STATUS_INVALID_PARAMETER);
  {
    std::lock_guard<std::mutex> guard(State().lock);
    info->TotalBandwidth = TotalBandwidthOf(DeviceOf(pdo)->model->speed);
    info->ConsumedBandwidth = State().consumedBandwidth;
    info->ControllerNameLength = 0;
  }
  return Answer(irp, STATUS_SUCCESS, sizeof(USB_BUS_NOTIFICATION));
}

}  // namespace

ULONG CurrentFrame() { return ULONG(Now100ns() / 10000); }

ULONG TotalBandwidthOf(Speed speed) {
  switch (speed) {
    case Speed::Full: return 12000;
    case Speed::High: return 480000;
    case Speed::Super: return 5000000;
  }
  return 0;
}

NTSTATUS DispatchInternalControl(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  switch (s->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      return SubmitUrb(pdo, irp, static_cast<PURB>(s->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_RESET_PORT:
      return ResetPort(pdo, irp);
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
      return CyclePort(pdo, irp);
    case IOCTL_INTERNAL_USB_GET_BUS_INFO:
      return GetBusInfo(pdo, irp);
    default:
      return Answer(irp, STATUS_NOT_SUPPORTED);
  }
}

bool ExecuteTransfer(Transfer &t) {
  Device &d = *t.device;
  PURB urb = t.urb;
  uint8_t *buffer = t.hasBuffer && t.length ? BufferOf(urb) : nullptr;
  std::optional<Response> fault;
  Notes notes;
  std::optional<Response> answer;
  auto finish = [&](USBD_STATUS status, ULONG bytes) {
    urb->UrbHeader.Status = status;
    if (t.hasBuffer) urb->UrbBulkOrInterruptTransfer.TransferBufferLength = bytes;
    return true;
  };
  {
    std::lock_guard<std::mutex> guard(State().lock);
    if (!d.present) return finish(USBD_STATUS_DEVICE_GONE, 0);
    fault = FaultFor(d, t);
    if (!fault && t.pipe && !t.control && t.pipe->endpoint.type != EndpointType::Isochronous &&
        d.deviceHalted.count(t.endpoint))
      fault = Response::Stall();
    if (!fault && t.control && !t.pipe)
      answer = StandardRequest(d, t.setup, std::span<const uint8_t>(buffer, t.setup.In() ? 0 : t.length), notes);
  }
  for (auto &note : notes) note();
  if (answer && d.model->descriptor && t.setup.bRequest == USB_REQUEST_GET_DESCRIPTOR &&
      (t.setup.bmRequestType & 0x7F) == BMREQUEST_TO_DEVICE)
    if (std::optional<Response> own = d.model->descriptor(t.setup)) answer = std::move(own);
  if (urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER) {
    if (fault && fault->kind == Response::Kind::Nak) {
      t.heldForever = true;
      return false;
    }
    ExecuteIso(t, buffer, fault);
    return true;
  }
  DeviceModel &model = *d.model;
  bool in = t.control ? t.setup.In() : (t.endpoint & 0x80) != 0;
  std::span<const uint8_t> outData(buffer, in ? 0 : t.length);
  Response r;
  if (fault) {
    r = *fault;
    if (r.kind == Response::Kind::Nak) t.heldForever = true;
  } else if (answer) {
    r = *answer;
  } else if (t.control && t.pipe) {
    r = model.endpointControl ? model.endpointControl(t.endpoint, t.setup, outData) : Response::Stall();
  } else if (t.control) {
    r = model.control ? model.control(t.setup, outData) : Response::Stall();
  } else if (in) {
    r = model.in ? model.in(t.endpoint, t.length) : Response::Nak();
  } else {
    r = model.out ? model.out(t.endpoint, outData) : Response::Ack();
  }
  if (r.kind == Response::Kind::Nak) return false;

  USBD_STATUS status = USBD_STATUS_SUCCESS;
  ULONG bytes = 0;
  if (r.kind == Response::Kind::Ack) {
    if (in) {
      bytes = ULONG(std::min<size_t>(r.data.size(), t.length));
      if (bytes) memcpy(buffer, r.data.data(), bytes);
      // A device sends at most wLength in a control data stage; more on a data pipe is babble.
      if (r.data.size() > t.length && !t.control)
        status = USBD_STATUS_BABBLE_DETECTED;
      else if (bytes < t.length && !t.shortOk)
        status = USBD_STATUS_ERROR_SHORT_TRANSFER;
    } else {
      bytes = ULONG(std::min<size_t>(r.accepted, t.length));
    }
  } else {
    status = r.kind == Response::Kind::Stall ? USBD_STATUS_STALL_PID : r.status;
  }
  // A data pipe that saw a stall or a transmission error is halted on the host until reset; a
  // stall also leaves the endpoint halted in the device. Control pipes recover at the next setup.
  if (t.pipe && !t.control && USBD_HALTED(status)) {
    std::lock_guard<std::mutex> guard(State().lock);
    t.pipe->halted = true;
    if (r.kind == Response::Kind::Stall) d.deviceHalted.insert(t.endpoint);
  }
  return finish(status, bytes);
}

}  // namespace sim::usb::detail

namespace sim::usb {

void Bus::HoldArrivingTransfers(bool on) {
  detail::BusState &b = detail::State();
  std::lock_guard<std::mutex> guard(b.lock);
  b.holdArrivals = on;
  if (!on) b.arrivalsReleased.notify_all();
}

size_t Bus::ArrivalsHeld() {
  detail::BusState &b = detail::State();
  std::lock_guard<std::mutex> guard(b.lock);
  return b.arrivalsHeld;
}

}  // namespace sim::usb
