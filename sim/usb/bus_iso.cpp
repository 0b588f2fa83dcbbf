// Isochronous transfers: the URB checked and scheduled against the frame clock, and each packet
// run against the device.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "sim/usb/bus_internal.h"

namespace sim::usb::detail {
namespace {

// USBD_ISO_PACKET_DESCRIPTOR docs: a packet's size is the next packet's offset minus its own;
// the last one runs to the end of the transfer buffer.
ULONG PacketRoom(const struct _URB_ISOCH_TRANSFER &iso, ULONG k, ULONG bufferLength) {
  ULONG end = k + 1 < iso.NumberOfPackets ? iso.IsoPacket[k + 1].Offset : bufferLength;
  return end - iso.IsoPacket[k].Offset;
}

}  // namespace

// High speed and above: bInterval 1 to 4 puts a packet in every 1, 2, 4 or 8 microframes.
ULONG IsoPacketsPerFrame(const EndpointInfo &e, Speed speed) {
  if (speed == Speed::Full) return 1;
  return 8u >> (std::clamp<int>(e.interval, 1, 4) - 1);
}

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
  const ULONG perFrame = IsoPacketsPerFrame(pipe->endpoint, speed);
  // "Transfer data to isochronous endpoints": at most 255 packets at full speed; at high speed
  // at most 1024, and a whole number of frames' worth for the endpoint's interval.
  ULONG limit = speed == Speed::Full ? 255 : 1024;
  if (n == 0 || n > limit || n % perFrame) return USBD_STATUS_INVALID_PARAMETER;
  if (urb->UrbHeader.Length < head + size_t(n) * sizeof(USBD_ISO_PACKET_DESCRIPTOR)) return USBD_STATUS_INVALID_PARAMETER;
  t.length = iso.TransferBufferLength;
  if (!BufferValid(urb, t.length)) return USBD_STATUS_INVALID_PARAMETER;
  // Length is output only: an OUT packet's size comes from the offsets, which must ascend
  // within the buffer.
  ULONG packetMax = ULONG(pipe->endpoint.maxPacketSize) * (speed == Speed::Full ? 1 : pipe->endpoint.transactions);
  for (ULONG k = 0; k < n; ++k) {
    ULONG offset = iso.IsoPacket[k].Offset;
    if (offset > t.length || (k > 0 && offset < iso.IsoPacket[k - 1].Offset)) return USBD_STATUS_INVALID_PARAMETER;
  }
  if (!pipe->endpoint.In())
    for (ULONG k = 0; k < n; ++k)
      if (PacketRoom(iso, k, t.length) > packetMax) return USBD_STATUS_INVALID_PARAMETER;
  ULONG now = CurrentFrame();
  ULONG start;
  if (iso.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) {
    // URB docs, USBD_START_ISO_TRANSFER_ASAP: the first transfer since the pipe was opened or
    // reset starts in the next frame; later ones follow the last, even when that frame has
    // passed (its packets are then late).
    start = pipe->isoStreaming ? pipe->nextIsoFrame : now + 1;
  } else {
    start = iso.StartFrame;
    int32_t ahead = int32_t(start - now);
    if (ahead > USBD_ISO_START_FRAME_RANGE || ahead < -USBD_ISO_START_FRAME_RANGE) return USBD_STATUS_BAD_START_FRAME;
  }
  iso.StartFrame = start;
  pipe->nextIsoFrame = start + n / perFrame;
  pipe->isoStreaming = true;
  t.submitFrame = now;
  return USBD_STATUS_SUCCESS;
}

void ExecuteIso(Transfer &t, uint8_t *buffer, std::optional<Response> fault) {
  auto &iso = t.urb->UrbIsochronousTransfer;
  DeviceModel &model = *t.device->model;
  const EndpointInfo &e = t.pipe->endpoint;
  bool in = e.In();
  ULONG perFrame = IsoPacketsPerFrame(e, model.speed);
  size_t packetMax = size_t(e.maxPacketSize) * (model.speed == Speed::Full ? 1 : e.transactions);
  ULONG errors = 0, bytes = 0;
  for (ULONG k = 0; k < iso.NumberOfPackets; ++k) {
    USBD_ISO_PACKET_DESCRIPTOR &p = iso.IsoPacket[k];
    ULONG frame = iso.StartFrame + k / perFrame;
    ULONG room = PacketRoom(iso, k, t.length);
    // An OUT packet's Length is neither read nor written.
    if (in) p.Length = 0;
    if (int32_t(frame - t.submitFrame) < 0) {
      p.Status = USBD_STATUS_ISO_NA_LATE_USBPORT;
      ++errors;
      continue;
    }
    Response r = fault ? *fault
                 : in  ? (model.in ? model.in(t.endpoint, std::min<size_t>(room, packetMax)) : Response::Nak())
                       : (model.out ? model.out(t.endpoint, std::span<const uint8_t>(buffer + p.Offset, room))
                                    : Response::Ack());
    switch (r.kind) {
      case Response::Kind::Ack:
        if (in) {
          ULONG n = ULONG(std::min<size_t>(r.data.size(), room));
          if (n) memcpy(buffer + p.Offset, r.data.data(), n);
          p.Length = n;
          // USBD_SHORT_TRANSFER_OK is ignored for isochronous transfers: a short packet is fine.
          p.Status = r.data.size() > room ? USBD_STATUS_DATA_OVERRUN : USBD_STATUS_SUCCESS;
          bytes += n;
        } else {
          p.Status = USBD_STATUS_SUCCESS;
          bytes += room;
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
  }
  iso.ErrorCount = errors;
  iso.TransferBufferLength = bytes;
  iso.Hdr.Status = errors == iso.NumberOfPackets ? USBD_STATUS_ISOCH_REQUEST_FAILED : USBD_STATUS_SUCCESS;
}

}  // namespace sim::usb::detail
