// Isochronous transfers: the URB checked and scheduled against the frame clock, and each packet
// run against the device.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "sim/usb/bus_internal.h"

namespace sim::usb::detail {
USBD_STATUS BuildIso(Device &d, PURB urb, Transfer &t) {
  auto &iso = urb->UrbIsochronousTransfer;
  const size_t head = offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket);
  if (urb->UrbHeader.Length < head) return USBD_STATUS_INVALID_PARAMETER;
  Pipe *pipe = PipeOf(d, iso.PipeHandle);
  if (!pipe) return USBD_STATUS_INVALID_PIPE_HANDLE;
  t.pipe = pipe;
  t.endpoint = pipe->endpoint.address;
  if (pipe->endpoint.type != EndpointType::Isochronous) return USBD_STATUS_INVALID_PARAMETER;
  if (iso.TransferFlags & ~ULONG(VALID_TRANSFER_FLAGS_MASK)) return USBD_STATUS_INVALID_PARAMETER;
  if (bool(USBD_TRANSFER_DIRECTION_FLAG(iso.TransferFlags)) != pipe->endpoint.In()) return USBD_STATUS_INVALID_PARAMETER;
  Speed speed = d.model->speed;
  ULONG n = iso.NumberOfPackets;
  ULONG limit = speed == Speed::Full ? 256 : 1024;
  if (n == 0 || n > limit) return USBD_STATUS_INVALID_PARAMETER;
  if (urb->UrbHeader.Length < head + size_t(n) * sizeof(USBD_ISO_PACKET_DESCRIPTOR)) return USBD_STATUS_INVALID_PARAMETER;
  t.length = iso.TransferBufferLength;
  t.shortOk = iso.TransferFlags & USBD_SHORT_TRANSFER_OK;
  if (!BufferValid(urb, t.length)) return USBD_STATUS_INVALID_PARAMETER;
  ULONG packetMax = ULONG(pipe->endpoint.maxPacketSize) * (speed == Speed::Full ? 1 : pipe->endpoint.transactions);
  for (ULONG k = 0; k < n; ++k) {
    const USBD_ISO_PACKET_DESCRIPTOR &p = iso.IsoPacket[k];
    if (uint64_t(p.Offset) + p.Length > t.length) return USBD_STATUS_INVALID_PARAMETER;
    if (!pipe->endpoint.In() && p.Length > packetMax) return USBD_STATUS_INVALID_PARAMETER;
  }
  ULONG now = CurrentFrame();
  ULONG start;
  if (iso.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) {
    // Streams on from where the pipe's last transfer ends, while that is still ahead.
    start = int32_t(pipe->nextIsoFrame - now) > 0 ? pipe->nextIsoFrame : now + 1;
  } else {
    start = iso.StartFrame;
    int32_t ahead = int32_t(start - now);
    if (ahead > USBD_ISO_START_FRAME_RANGE || ahead < -USBD_ISO_START_FRAME_RANGE) return USBD_STATUS_BAD_START_FRAME;
  }
  ULONG perFrame = speed == Speed::Full ? 1 : 8;
  iso.StartFrame = start;
  pipe->nextIsoFrame = start + (n + perFrame - 1) / perFrame;
  t.submitFrame = now;
  return USBD_STATUS_SUCCESS;
}

void ExecuteIso(Transfer &t, uint8_t *buffer, std::optional<Response> fault) {
  auto &iso = t.urb->UrbIsochronousTransfer;
  DeviceModel &model = *t.device->model;
  bool in = t.pipe->endpoint.In();
  ULONG perFrame = model.speed == Speed::Full ? 1 : 8;
  ULONG errors = 0, bytes = 0;
  for (ULONG k = 0; k < iso.NumberOfPackets; ++k) {
    USBD_ISO_PACKET_DESCRIPTOR &p = iso.IsoPacket[k];
    ULONG frame = iso.StartFrame + k / perFrame;
    ULONG room = p.Length;
    p.Length = 0;
    if (int32_t(frame - t.submitFrame) < 0) {
      p.Status = USBD_STATUS_ISO_NA_LATE_USBPORT;
      ++errors;
      continue;
    }
    Response r = fault ? *fault
                 : in  ? (model.in ? model.in(t.endpoint, room) : Response::Nak())
                       : (model.out ? model.out(t.endpoint, std::span<const uint8_t>(buffer + p.Offset, room))
                                    : Response::Ack());
    switch (r.kind) {
      case Response::Kind::Ack:
        if (in) {
          ULONG n = ULONG(std::min<size_t>(r.data.size(), room));
          if (n) memcpy(buffer + p.Offset, r.data.data(), n);
          p.Length = n;
          p.Status = r.data.size() > room ? USBD_STATUS_DATA_OVERRUN
                     : n < room && !t.shortOk ? USBD_STATUS_DATA_UNDERRUN
                                              : USBD_STATUS_SUCCESS;
        } else {
          p.Length = room;
          p.Status = USBD_STATUS_SUCCESS;
        }
        break;
      case Response::Kind::Nak:
        // Nothing came in this frame's slot.
        p.Status = USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
        break;
      case Response::Kind::Stall:
      case Response::Kind::Error:
        p.Status = r.kind == Response::Kind::Stall ? USBD_STATUS_STALL_PID : r.status;
        break;
    }
    if (USBD_ERROR(p.Status)) ++errors;
    bytes += p.Length;
  }
  iso.ErrorCount = errors;
  iso.TransferBufferLength = bytes;
  iso.Hdr.Status = errors == iso.NumberOfPackets ? USBD_STATUS_ISOCH_REQUEST_FAILED : USBD_STATUS_SUCCESS;
}

}  // namespace sim::usb::detail
