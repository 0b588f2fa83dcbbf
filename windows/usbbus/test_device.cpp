// The test device's behaviour, as sim/usb's test device has it: pattern source, sink, loopback
// FIFO, interrupt reports, isochronous pattern and counters, vendor requests on endpoint 0 and on
// the control endpoint 0x07. Runs on the bus's worker thread only.
#include "windows/usbbus/bus.h"

namespace xrbus {
namespace {

constexpr UCHAR kConfig2Out = kConfig2LoopbackOut, kConfig2In = kConfig2LoopbackIn;

Reply Ack(ULONG length) { return {Answer::Ack, USBD_STATUS_SUCCESS, length}; }
Reply Stall() { return {Answer::Stall, USBD_STATUS_STALL_PID, 0}; }
Reply Nak() { return {Answer::Nak, USBD_STATUS_SUCCESS, 0}; }

UCHAR Pattern(ULONG64 offset) { return UCHAR(offset % kPatternModulus); }

VOID FillPattern(ULONG64 &offset, PUCHAR buffer, ULONG length) {
  for (ULONG i = 0; i < length; ++i) buffer[i] = Pattern(offset++);
}

Reply CopyOut(const UCHAR *from, ULONG available, PUCHAR buffer, ULONG length) {
  const ULONG n = available < length ? available : length;
  RtlCopyMemory(buffer, from, n);
  return Ack(n);
}

Reply LoopbackOut(Port &p, const UCHAR *data, ULONG length) {
  const ULONG room = kLoopbackCapacity - p.loopbackCount;
  if (room == 0 && length) return Nak();
  const ULONG take = length < room ? length : room;
  for (ULONG i = 0; i < take; ++i) p.loopback[(p.loopbackHead + p.loopbackCount + i) % kLoopbackCapacity] = data[i];
  p.loopbackCount += take;
  p.counters.loopbackBytesIn += take;
  return Ack(take);
}

Reply LoopbackIn(Port &p, PUCHAR buffer, ULONG length) {
  if (p.loopbackCount == 0) return Nak();
  const ULONG n = length < p.loopbackCount ? length : p.loopbackCount;
  for (ULONG i = 0; i < n; ++i) buffer[i] = p.loopback[(p.loopbackHead + i) % kLoopbackCapacity];
  p.loopbackHead = (p.loopbackHead + n) % kLoopbackCapacity;
  p.loopbackCount -= n;
  p.counters.loopbackBytesOut += n;
  return Ack(n);
}

VOID Put32(PUCHAR to, ULONG x) {
  for (int i = 0; i < 4; ++i) to[i] = UCHAR(x >> (8 * i));
}

// A new configuration, or none, starts every endpoint afresh.
VOID ResetData(Port &p) {
  p.loopbackHead = p.loopbackCount = 0;
  p.sourceOffset = p.sinkOffset = p.isoInOffset = 0;
  RtlZeroMemory(p.alternate, sizeof p.alternate);
}

}  // namespace

VOID ResetModel(Port &p, USHORT productId) {
  // Everything but the bus's own bookkeeping.
  p.configuration = 0;
  p.remoteWakeup = FALSE;
  p.deviceHalted = 0;
  RtlZeroMemory(p.pipes, sizeof p.pipes);
  RtlZeroMemory(p.memory, sizeof p.memory);
  p.reg = 0;
  p.pipeBufferLength = 0;
  RtlZeroMemory(&p.counters, sizeof p.counters);
  ResetData(p);
  p.productId = productId;
}

const UCHAR *ConfigurationBlock(UCHAR index, ULONG *length) {
  if (index == 0) {
    *length = sizeof kTestConfiguration1;
    return kTestConfiguration1;
  }
  if (index == 1) {
    *length = sizeof kTestConfiguration2;
    return kTestConfiguration2;
  }
  return NULL;
}

Reply DescriptorRequest(Port &p, const Setup &s, PUCHAR buffer, ULONG length) {
  const UCHAR type = UCHAR(s.wValue >> 8), index = UCHAR(s.wValue);
  switch (type) {
    case USB_DEVICE_DESCRIPTOR_TYPE: {
      UCHAR d[sizeof kTestDeviceDescriptor];
      RtlCopyMemory(d, kTestDeviceDescriptor, sizeof d);
      d[10] = UCHAR(p.productId);
      d[11] = UCHAR(p.productId >> 8);
      return CopyOut(d, sizeof d, buffer, length);
    }
    case USB_CONFIGURATION_DESCRIPTOR_TYPE: {
      ULONG size = 0;
      const UCHAR *block = ConfigurationBlock(index, &size);
      return block ? CopyOut(block, size, buffer, length) : Stall();
    }
    case USB_STRING_DESCRIPTOR_TYPE: {
      if (index >= sizeof kTestStrings / sizeof kTestStrings[0]) return Stall();
      UCHAR d[2 + 2 * 126];
      ULONG n = 0;
      for (const char16_t *c = kTestStrings[index]; *c && n < 126; ++c, ++n) {
        d[2 + 2 * n] = UCHAR(*c);
        d[3 + 2 * n] = UCHAR(*c >> 8);
      }
      d[0] = UCHAR(2 + 2 * n);
      d[1] = USB_STRING_DESCRIPTOR_TYPE;
      return CopyOut(d, d[0], buffer, length);
    }
    default:
      return Stall();
  }
}

Reply DeviceIn(Port &p, UCHAR endpoint, PUCHAR buffer, ULONG length) {
  XrbusCounters &c = p.counters;
  if (p.configuration == 2) return endpoint == kConfig2In ? LoopbackIn(p, buffer, length) : Stall();
  if (p.configuration != 1) return Stall();
  switch (endpoint) {
    case kSourceIn:
      c.sourceBytes += length;
      FillPattern(p.sourceOffset, buffer, length);
      return Ack(length);
    case kLoopbackIn:
      return LoopbackIn(p, buffer, length);
    case kInterruptIn: {
      UCHAR report[kInterruptReportSize];
      Put32(report, c.interruptReports++);
      Put32(report + 4, ULONG(c.interruptOutBytes));
      return CopyOut(report, sizeof report, buffer, length);
    }
    case kIsoIn:
      ++c.isoInPackets;
      c.isoInBytes += length;
      FillPattern(p.isoInOffset, buffer, length);
      return Ack(length);
    default:
      return Stall();
  }
}

Reply DeviceOut(Port &p, UCHAR endpoint, const UCHAR *data, ULONG length) {
  XrbusCounters &c = p.counters;
  if (p.configuration == 2) return endpoint == kConfig2Out ? LoopbackOut(p, data, length) : Stall();
  if (p.configuration != 1) return Stall();
  switch (endpoint) {
    case kSinkOut:
      p.sinkOffset += length;
      c.sinkBytes += length;
      return Ack(length);
    case kLoopbackOut:
      return LoopbackOut(p, data, length);
    case kInterruptOut:
      c.interruptOutBytes += length;
      return Ack(length);
    case kIsoOut:
      ++c.isoOutPackets;
      c.isoOutBytes += length;
      return Ack(length);
    default:
      return Stall();
  }
}

Reply VendorRequest(Port &p, const Setup &s, PUCHAR buffer, ULONG length) {
  if ((s.bmRequestType & 0x7F) != 0x40) return Stall();
  ++p.counters.vendorRequests;
  const ULONG offset = s.wValue;
  switch (s.bRequest) {
    case kWriteMemory:
      if (s.In() || offset + length > kMemorySize) return Stall();
      RtlCopyMemory(p.memory + offset, buffer, length);
      return Ack(length);
    case kReadMemory:
      if (!s.In() || offset + s.wLength > kMemorySize) return Stall();
      return CopyOut(p.memory + offset, s.wLength, buffer, length);
    case kSetRegister:
      if (s.In() || s.wLength != 0) return Stall();
      p.reg = s.wValue;
      return Ack(0);
    case kGetRegister: {
      if (!s.In()) return Stall();
      const UCHAR v[2] = {UCHAR(p.reg), UCHAR(p.reg >> 8)};
      return CopyOut(v, s.wLength < 2 ? s.wLength : 2, buffer, length);
    }
    default:
      return Stall();
  }
}

Reply PipeControl(Port &p, UCHAR endpoint, const Setup &s, PUCHAR buffer, ULONG length) {
  if ((endpoint & 0x0F) != 0x07 || p.configuration != 1) return Stall();
  ++p.counters.pipeRequests;
  switch (s.bRequest) {
    case kPipeWrite:
      if (s.In() || length > kPipeBufferSize) return Stall();
      RtlCopyMemory(p.pipeBuffer, buffer, length);
      p.pipeBufferLength = length;
      return Ack(length);
    case kPipeRead:
      if (!s.In()) return Stall();
      return CopyOut(p.pipeBuffer, s.wLength < p.pipeBufferLength ? s.wLength : p.pipeBufferLength, buffer, length);
    case kPipeCount: {
      if (!s.In()) return Stall();
      UCHAR v[4];
      Put32(v, p.counters.pipeRequests);
      return CopyOut(v, s.wLength < 4 ? s.wLength : 4, buffer, length);
    }
    default:
      return Stall();
  }
}

VOID DeviceConfigured(Port &p, UCHAR value) {
  p.configuration = value;
  ResetData(p);
}

VOID DevicePortReset(Port &p) {
  ++p.counters.resetCount;
  const UCHAR value = p.configuration;
  UCHAR alternate[3];
  RtlCopyMemory(alternate, p.alternate, sizeof alternate);
  p.deviceHalted = 0;
  p.remoteWakeup = FALSE;
  // The hub puts the configuration and alternate settings back after the reset.
  DeviceConfigured(p, value);
  RtlCopyMemory(p.alternate, alternate, sizeof alternate);
}

}  // namespace xrbus
