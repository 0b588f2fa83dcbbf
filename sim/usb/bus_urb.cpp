// IRP_MJ_INTERNAL_DEVICE_CONTROL of the USB device: URB validation and processing, port reset
// and cycle, bus information, and what the device answers to transfers.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>

#include "sim/kernel/clock.h"
#include "sim/usb/bus_internal.h"
#include "platform/host/usbioctl.h"

namespace sim::usb::detail {
namespace {

using Notes = std::vector<std::function<void()>>;

struct Outcome {
  bool pending = false;  // the bus holds the IRP (a queued transfer, an abort waiting)
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  std::vector<Completion> others;
  Notes notes;
};

uint8_t *BufferOf(PURB urb) {
  auto &x = urb->UrbBulkOrInterruptTransfer;
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

bool IsPeriodic(const EndpointInfo &e) { return e.type == EndpointType::Isochronous || e.type == EndpointType::Interrupt; }

// Bits per millisecond an open periodic pipe reserves: one transaction in every frame it is
// scheduled in at full speed; at high speed and above its transactions per microframe, in as many
// microframes of the frame as its period allows.
ULONG EndpointBandwidth(const EndpointInfo &e, Speed speed) {
  if (!IsPeriodic(e)) return 0;
  if (speed == Speed::Full) return ULONG(e.maxPacketSize) * 8;
  ULONG period = 1u << std::clamp(int(e.interval) - 1, 0, 3);
  return ULONG(e.maxPacketSize) * e.transactions * 8 * (8 / period);
}

ULONG PeriodicLimit(Speed speed) {
  ULONG total = TotalBandwidthOf(speed);
  return speed == Speed::Full ? total / 10 * 9 : total / 10 * 8;
}

const ParsedConfiguration *FindConfiguration(Device &d, uint8_t value, std::vector<ParsedConfiguration> &store) {
  for (auto &block : d.model->configurations) {
    store.push_back(Parse(block));
    if (store.back().valid && store.back().configurationValue == value) return &store.back();
  }
  return nullptr;
}

USBD_PIPE_TYPE PipeTypeOf(EndpointType t) { return USBD_PIPE_TYPE(int(t)); }

// Opens the pipes of one alternate setting into 'info' (its Length already checked). Lock held.
void OpenInterface(Device &d, const AlternateSetting &alt, PUSBD_INTERFACE_INFORMATION info) {
  USBD_INTERFACE_HANDLE handle = NewHandle();
  d.alternates[alt.interfaceNumber] = alt.alternateSetting;
  d.interfaceHandles[alt.interfaceNumber] = handle;
  info->Class = alt.interfaceClass;
  info->SubClass = alt.interfaceSubClass;
  info->Protocol = alt.interfaceProtocol;
  info->InterfaceHandle = handle;
  info->NumberOfPipes = ULONG(alt.endpoints.size());
  for (size_t i = 0; i < alt.endpoints.size(); ++i) {
    const EndpointInfo &e = alt.endpoints[i];
    auto pipe = std::make_unique<Pipe>();
    pipe->handle = NewHandle();
    pipe->interfaceNumber = alt.interfaceNumber;
    pipe->endpoint = e;
    pipe->bandwidth = EndpointBandwidth(e, d.model->speed);
    State().consumedBandwidth += pipe->bandwidth;
    USBD_PIPE_INFORMATION &p = info->Pipes[i];
    p.MaximumPacketSize = e.maxPacketSize;
    p.EndpointAddress = e.address;
    p.Interval = e.interval;
    p.PipeType = PipeTypeOf(e.type);
    p.PipeHandle = pipe->handle;
    // MaximumTransferSize and PipeFlags stay as the caller gave them.
    d.pipes[pipe->handle] = std::move(pipe);
  }
}

// Closes the pipes of one interface (all when 'interfaceNumber' is negative); their transfers
// end as cancelled. Lock held.
void CloseInterface(Device &d, int interfaceNumber, std::vector<Completion> &done) {
  for (auto it = d.pipes.begin(); it != d.pipes.end();) {
    Pipe *p = it->second.get();
    if (interfaceNumber >= 0 && p->interfaceNumber != interfaceNumber) {
      ++it;
      continue;
    }
    auto taken = TakeTransfers(d, p, USBD_STATUS_CANCELED);
    done.insert(done.end(), taken.begin(), taken.end());
    State().consumedBandwidth -= p->bandwidth;
    p->bandwidth = 0;
    d.closedPipes.push_back(std::move(it->second));
    it = d.pipes.erase(it);
  }
  if (interfaceNumber < 0) {
    d.alternates.clear();
    d.interfaceHandles.clear();
  } else {
    d.alternates.erase(uint8_t(interfaceNumber));
    d.interfaceHandles.erase(uint8_t(interfaceNumber));
  }
}

ULONG DeviceBandwidth(Device &d, int interfaceNumber) {
  ULONG sum = 0;
  for (auto &[h, p] : d.pipes)
    if (interfaceNumber < 0 || p->interfaceNumber == interfaceNumber) sum += p->bandwidth;
  return sum;
}

ULONG AlternateBandwidth(const AlternateSetting &alt, Speed speed) {
  ULONG sum = 0;
  for (const EndpointInfo &e : alt.endpoints) sum += EndpointBandwidth(e, speed);
  return sum;
}

void SetConfigured(Device &d, uint8_t value, Outcome &out) {
  d.configurationValue = value;
  d.deviceHalted.clear();
  auto model = d.model;
  out.notes.push_back([model, value] {
    if (model->configured) model->configured(value);
  });
}

USBD_STATUS SelectConfiguration(Device &d, PURB urb, Outcome &out) {
  auto &sc = urb->UrbSelectConfiguration;
  const size_t head = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  if (urb->UrbHeader.Length < head) return USBD_STATUS_INVALID_PARAMETER;
  if (!sc.ConfigurationDescriptor) {
    CloseInterface(d, -1, out.others);
    d.configurationHandle = nullptr;
    d.configuration = {};
    sc.ConfigurationHandle = nullptr;
    SetConfigured(d, 0, out);
    return USBD_STATUS_SUCCESS;
  }
  PUSB_CONFIGURATION_DESCRIPTOR cd = sc.ConfigurationDescriptor;
  if (cd->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) || cd->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE)
    return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
  std::vector<ParsedConfiguration> store;
  store.reserve(d.model->configurations.size());
  const ParsedConfiguration *config = FindConfiguration(d, cd->bConfigurationValue, store);
  // The device stalls SET_CONFIGURATION for a value it does not have.
  if (!config) return USBD_STATUS_SET_CONFIG_FAILED;

  // The interface entries follow one another up to the end of the URB.
  const size_t entryHead = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
  auto *p = reinterpret_cast<uint8_t *>(&sc.Interface);
  auto *end = reinterpret_cast<uint8_t *>(urb) + urb->UrbHeader.Length;
  std::vector<std::pair<PUSBD_INTERFACE_INFORMATION, const AlternateSetting *>> entries;
  std::set<uint8_t> seen;
  ULONG bandwidth = 0;
  while (size_t(end - p) >= entryHead) {
    auto *info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(p);
    if (info->Length < entryHead || info->Length > size_t(end - p)) return USBD_STATUS_INVALID_PARAMETER;
    const AlternateSetting *alt = config->Find(info->InterfaceNumber, info->AlternateSetting);
    if (!alt) return USBD_STATUS_INTERFACE_NOT_FOUND;
    if (!seen.insert(info->InterfaceNumber).second) return USBD_STATUS_INVALID_PARAMETER;
    if (info->Length < GET_USBD_INTERFACE_SIZE(alt->endpoints.size())) return USBD_STATUS_INVALID_PARAMETER;
    bandwidth += AlternateBandwidth(*alt, d.model->speed);
    entries.push_back({info, alt});
    p += info->Length;
  }
  if (entries.empty()) return USBD_STATUS_INVALID_PARAMETER;
  ULONG others = State().consumedBandwidth - DeviceBandwidth(d, -1);
  if (others + bandwidth > PeriodicLimit(d.model->speed)) return USBD_STATUS_NO_BANDWIDTH;

  CloseInterface(d, -1, out.others);
  d.configuration = *config;
  d.configurationHandle = NewHandle();
  sc.ConfigurationHandle = d.configurationHandle;
  SetConfigured(d, config->configurationValue, out);
  auto model = d.model;
  for (auto &[info, alt] : entries) {
    OpenInterface(d, *alt, info);
    if (alt->alternateSetting != 0) {
      uint8_t n = alt->interfaceNumber, a = alt->alternateSetting;
      out.notes.push_back([model, n, a] {
        if (model->interfaceSelected) model->interfaceSelected(n, a);
      });
    }
  }
  return USBD_STATUS_SUCCESS;
}

USBD_STATUS SelectInterface(Device &d, PURB urb, Outcome &out) {
  auto &si = urb->UrbSelectInterface;
  const size_t head = offsetof(struct _URB_SELECT_INTERFACE, Interface);
  const size_t entryHead = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
  if (urb->UrbHeader.Length < head + entryHead) return USBD_STATUS_INVALID_PARAMETER;
  PUSBD_INTERFACE_INFORMATION info = &si.Interface;
  if (info->Length < entryHead || head + info->Length > urb->UrbHeader.Length) return USBD_STATUS_INVALID_PARAMETER;
  if (!d.configurationValue || si.ConfigurationHandle != d.configurationHandle) return USBD_STATUS_INVALID_PARAMETER;
  const AlternateSetting *alt = d.configuration.Find(info->InterfaceNumber, info->AlternateSetting);
  if (!alt) return USBD_STATUS_INTERFACE_NOT_FOUND;
  if (info->Length < GET_USBD_INTERFACE_SIZE(alt->endpoints.size())) return USBD_STATUS_INVALID_PARAMETER;
  ULONG others = State().consumedBandwidth - DeviceBandwidth(d, info->InterfaceNumber);
  if (others + AlternateBandwidth(*alt, d.model->speed) > PeriodicLimit(d.model->speed)) return USBD_STATUS_NO_BANDWIDTH;
  CloseInterface(d, info->InterfaceNumber, out.others);
  OpenInterface(d, *alt, info);
  auto model = d.model;
  uint8_t n = alt->interfaceNumber, a = alt->alternateSetting;
  out.notes.push_back([model, n, a] {
    if (model->interfaceSelected) model->interfaceSelected(n, a);
  });
  return USBD_STATUS_SUCCESS;
}

Pipe *PipeOf(Device &d, USBD_PIPE_HANDLE handle) {
  auto it = d.pipes.find(handle);
  return it == d.pipes.end() ? nullptr : it->second.get();
}

// The standard and class/vendor requests the URB functions stand for.
struct FormattedRequest {
  USHORT function;
  uint8_t bmRequestType;  // direction bit filled from the flags for vendor and class requests
  uint8_t bRequest;       // 0xFF: the URB's own Request
  enum Kind { GetDescriptor, SetDescriptor, Feature, Status, Configuration, Interface, VendorClass } kind;
};

constexpr FormattedRequest kFormatted[] = {
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 0x80, USB_REQUEST_GET_DESCRIPTOR, FormattedRequest::GetDescriptor},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE, 0x81, USB_REQUEST_GET_DESCRIPTOR, FormattedRequest::GetDescriptor},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT, 0x82, USB_REQUEST_GET_DESCRIPTOR, FormattedRequest::GetDescriptor},
    {URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE, 0x00, USB_REQUEST_SET_DESCRIPTOR, FormattedRequest::SetDescriptor},
    {URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE, 0x01, USB_REQUEST_SET_DESCRIPTOR, FormattedRequest::SetDescriptor},
    {URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT, 0x02, USB_REQUEST_SET_DESCRIPTOR, FormattedRequest::SetDescriptor},
    {URB_FUNCTION_SET_FEATURE_TO_DEVICE, 0x00, USB_REQUEST_SET_FEATURE, FormattedRequest::Feature},
    {URB_FUNCTION_SET_FEATURE_TO_INTERFACE, 0x01, USB_REQUEST_SET_FEATURE, FormattedRequest::Feature},
    {URB_FUNCTION_SET_FEATURE_TO_ENDPOINT, 0x02, USB_REQUEST_SET_FEATURE, FormattedRequest::Feature},
    {URB_FUNCTION_SET_FEATURE_TO_OTHER, 0x03, USB_REQUEST_SET_FEATURE, FormattedRequest::Feature},
    {URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, 0x00, USB_REQUEST_CLEAR_FEATURE, FormattedRequest::Feature},
    {URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE, 0x01, USB_REQUEST_CLEAR_FEATURE, FormattedRequest::Feature},
    {URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, 0x02, USB_REQUEST_CLEAR_FEATURE, FormattedRequest::Feature},
    {URB_FUNCTION_CLEAR_FEATURE_TO_OTHER, 0x03, USB_REQUEST_CLEAR_FEATURE, FormattedRequest::Feature},
    {URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0x80, USB_REQUEST_GET_STATUS, FormattedRequest::Status},
    {URB_FUNCTION_GET_STATUS_FROM_INTERFACE, 0x81, USB_REQUEST_GET_STATUS, FormattedRequest::Status},
    {URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, 0x82, USB_REQUEST_GET_STATUS, FormattedRequest::Status},
    {URB_FUNCTION_GET_STATUS_FROM_OTHER, 0x83, USB_REQUEST_GET_STATUS, FormattedRequest::Status},
    {URB_FUNCTION_GET_CONFIGURATION, 0x80, USB_REQUEST_GET_CONFIGURATION, FormattedRequest::Configuration},
    {URB_FUNCTION_GET_INTERFACE, 0x81, USB_REQUEST_GET_INTERFACE, FormattedRequest::Interface},
    {URB_FUNCTION_VENDOR_DEVICE, 0x40, 0xFF, FormattedRequest::VendorClass},
    {URB_FUNCTION_VENDOR_INTERFACE, 0x41, 0xFF, FormattedRequest::VendorClass},
    {URB_FUNCTION_VENDOR_ENDPOINT, 0x42, 0xFF, FormattedRequest::VendorClass},
    {URB_FUNCTION_VENDOR_OTHER, 0x43, 0xFF, FormattedRequest::VendorClass},
    {URB_FUNCTION_CLASS_DEVICE, 0x20, 0xFF, FormattedRequest::VendorClass},
    {URB_FUNCTION_CLASS_INTERFACE, 0x21, 0xFF, FormattedRequest::VendorClass},
    {URB_FUNCTION_CLASS_ENDPOINT, 0x22, 0xFF, FormattedRequest::VendorClass},
    {URB_FUNCTION_CLASS_OTHER, 0x23, 0xFF, FormattedRequest::VendorClass},
};

const FormattedRequest *FormattedFor(USHORT function) {
  for (const auto &f : kFormatted)
    if (f.function == function) return &f;
  return nullptr;
}

size_t MinimumLength(const FormattedRequest &f) {
  switch (f.kind) {
    case FormattedRequest::GetDescriptor:
    case FormattedRequest::SetDescriptor: return sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    case FormattedRequest::Feature: return sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
    case FormattedRequest::Status: return sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);
    case FormattedRequest::Configuration: return sizeof(struct _URB_CONTROL_GET_CONFIGURATION_REQUEST);
    case FormattedRequest::Interface: return sizeof(struct _URB_CONTROL_GET_INTERFACE_REQUEST);
    case FormattedRequest::VendorClass: return sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  }
  return sizeof(URB);
}

// Builds the control transfer a formatted request stands for. Lock held.
USBD_STATUS BuildFormatted(const FormattedRequest &f, PURB urb, Transfer &t) {
  if (urb->UrbHeader.Length < MinimumLength(f)) return USBD_STATUS_INVALID_PARAMETER;
  t.control = true;
  t.endpoint = 0;
  t.shortOk = true;
  Setup &s = t.setup;
  s.bmRequestType = f.bmRequestType;
  s.bRequest = f.bRequest;
  t.length = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  switch (f.kind) {
    case FormattedRequest::GetDescriptor:
    case FormattedRequest::SetDescriptor: {
      auto &r = urb->UrbControlDescriptorRequest;
      s.wValue = USHORT(r.DescriptorType << 8 | r.Index);
      s.wIndex = r.LanguageId;
      break;
    }
    case FormattedRequest::Feature: {
      auto &r = urb->UrbControlFeatureRequest;
      s.wValue = r.FeatureSelector;
      s.wIndex = r.Index;
      t.length = 0;
      t.hasBuffer = false;
      break;
    }
    case FormattedRequest::Status:
      s.wIndex = urb->UrbControlGetStatusRequest.Index;
      if (t.length != 2) return USBD_STATUS_INVALID_PARAMETER;
      break;
    case FormattedRequest::Configuration:
      if (t.length != 1) return USBD_STATUS_INVALID_PARAMETER;
      break;
    case FormattedRequest::Interface:
      s.wIndex = urb->UrbControlGetInterfaceRequest.Interface;
      if (t.length != 1) return USBD_STATUS_INVALID_PARAMETER;
      break;
    case FormattedRequest::VendorClass: {
      auto &r = urb->UrbControlVendorClassRequest;
      if (r.TransferFlags & ~ULONG(VALID_TRANSFER_FLAGS_MASK)) return USBD_STATUS_INVALID_PARAMETER;
      s.bmRequestType = uint8_t(f.bmRequestType | (USBD_TRANSFER_DIRECTION_FLAG(r.TransferFlags) ? 0x80 : 0) |
                                (r.RequestTypeReservedBits & 0x1F));
      s.bRequest = r.Request;
      s.wValue = r.Value;
      s.wIndex = r.Index;
      t.shortOk = (r.TransferFlags & USBD_SHORT_TRANSFER_OK) || s.In();
      break;
    }
  }
  s.wLength = USHORT(std::min<ULONG>(t.length, 0xFFFF));
  if (t.length > 0xFFFF) return USBD_STATUS_INVALID_PARAMETER;
  if (t.hasBuffer && !BufferValid(urb, t.length)) return USBD_STATUS_INVALID_PARAMETER;
  return USBD_STATUS_SUCCESS;
}

USBD_STATUS BuildControl(Device &d, PURB urb, Transfer &t) {
  auto &c = urb->UrbControlTransfer;
  if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_TRANSFER)) return USBD_STATUS_INVALID_PARAMETER;
  if (c.TransferFlags & ~ULONG(VALID_TRANSFER_FLAGS_MASK)) return USBD_STATUS_INVALID_PARAMETER;
  t.control = true;
  if (!(c.TransferFlags & USBD_DEFAULT_PIPE_TRANSFER)) {
    Pipe *pipe = PipeOf(d, c.PipeHandle);
    if (!pipe) return USBD_STATUS_INVALID_PIPE_HANDLE;
    if (pipe->endpoint.type != EndpointType::Control) return USBD_STATUS_INVALID_PARAMETER;
    t.pipe = pipe;
    t.endpoint = pipe->endpoint.address;
  }
  memcpy(&t.setup.bmRequestType, &c.SetupPacket[0], 1);
  t.setup.bRequest = c.SetupPacket[1];
  t.setup.wValue = USHORT(c.SetupPacket[2] | c.SetupPacket[3] << 8);
  t.setup.wIndex = USHORT(c.SetupPacket[4] | c.SetupPacket[5] << 8);
  t.length = c.TransferBufferLength;
  if (t.length > 0xFFFF) return USBD_STATUS_INVALID_PARAMETER;
  // The data stage is the buffer; the setup packet says which way it goes, and the flags must agree.
  if (t.length && bool(USBD_TRANSFER_DIRECTION_FLAG(c.TransferFlags)) != t.setup.In())
    return USBD_STATUS_INVALID_PARAMETER;
  t.setup.wLength = USHORT(t.length);
  t.shortOk = true;
  if (!BufferValid(urb, t.length)) return USBD_STATUS_INVALID_PARAMETER;
  return USBD_STATUS_SUCCESS;
}

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

// Standard requests the bus answers from the device's state; nullopt leaves them to the model.
// Lock held.
std::optional<Response> StandardRequest(Device &d, const Setup &s, std::span<const uint8_t> out, Notes &notes) {
  if ((s.bmRequestType >> 5 & 3) != 0) return std::nullopt;
  uint8_t recipient = s.bmRequestType & 0x1F;
  auto word = [](uint16_t v) { return Response::Ack({uint8_t(v), uint8_t(v >> 8)}); };
  bool configured = d.configurationValue != 0;
  auto endpointKnown = [&](uint8_t ep) {
    if ((ep & 0x0F) == 0) return true;
    for (auto &[h, p] : d.pipes)
      if (p->endpoint.address == ep) return true;
    return false;
  };
  switch (s.bRequest) {
    case USB_REQUEST_GET_STATUS:
      if (recipient == BMREQUEST_TO_DEVICE) {
        uint8_t attributes = configured ? d.configuration.attributes : 0;
        return word(uint16_t((attributes & USB_CONFIG_SELF_POWERED ? USB_GETSTATUS_SELF_POWERED : 0) |
                             (d.remoteWakeupEnabled ? USB_GETSTATUS_REMOTE_WAKEUP_ENABLED : 0)));
      }
      if (recipient == BMREQUEST_TO_INTERFACE)
        return configured && d.alternates.count(uint8_t(s.wIndex)) ? word(0) : Response::Stall();
      if (recipient == BMREQUEST_TO_ENDPOINT)
        return endpointKnown(uint8_t(s.wIndex)) ? word(d.deviceHalted.count(uint8_t(s.wIndex)) ? 1 : 0)
                                                : Response::Stall();
      return std::nullopt;
    case USB_REQUEST_SET_FEATURE:
    case USB_REQUEST_CLEAR_FEATURE: {
      bool set = s.bRequest == USB_REQUEST_SET_FEATURE;
      if (recipient == BMREQUEST_TO_DEVICE) {
        if (s.wValue == USB_FEATURE_REMOTE_WAKEUP) d.remoteWakeupEnabled = set;
        return Response::Ack();
      }
      if (recipient == BMREQUEST_TO_INTERFACE) return Response::Ack();
      if (recipient == BMREQUEST_TO_ENDPOINT) {
        uint8_t ep = uint8_t(s.wIndex);
        if (!endpointKnown(ep) || s.wValue != USB_FEATURE_ENDPOINT_STALL) return Response::Stall();
        if ((ep & 0x0F) == 0) return Response::Ack();
        if (set)
          d.deviceHalted.insert(ep);
        else
          d.deviceHalted.erase(ep);
        return Response::Ack();
      }
      return std::nullopt;
    }
    case USB_REQUEST_SET_ADDRESS:
      return Response::Ack();
    case USB_REQUEST_GET_DESCRIPTOR: {
      if (recipient != BMREQUEST_TO_DEVICE) return std::nullopt;
      uint8_t type = uint8_t(s.wValue >> 8), index = uint8_t(s.wValue);
      if (type == USB_DEVICE_DESCRIPTOR_TYPE) return Response::Ack(d.model->deviceDescriptor);
      if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE)
        return index < d.model->configurations.size() ? Response::Ack(d.model->configurations[index]) : Response::Stall();
      if (type == USB_STRING_DESCRIPTOR_TYPE) {
        auto it = d.model->strings.find(index);
        return it != d.model->strings.end() ? Response::Ack(it->second) : Response::Stall();
      }
      return std::nullopt;
    }
    case USB_REQUEST_GET_CONFIGURATION:
      return Response::Ack({d.configurationValue});
    case USB_REQUEST_SET_CONFIGURATION: {
      uint8_t value = uint8_t(s.wValue);
      if (value) {
        std::vector<ParsedConfiguration> store;
        if (!FindConfiguration(d, value, store)) return Response::Stall();
      }
      // Behind the host's back: the pipes stay as they are.
      d.configurationValue = value;
      d.deviceHalted.clear();
      auto model = d.model;
      notes.push_back([model, value] {
        if (model->configured) model->configured(value);
      });
      return Response::Ack();
    }
    case USB_REQUEST_GET_INTERFACE: {
      auto it = d.alternates.find(uint8_t(s.wIndex));
      return configured && it != d.alternates.end() ? Response::Ack({it->second}) : Response::Stall();
    }
    case USB_REQUEST_SET_INTERFACE: {
      uint8_t n = uint8_t(s.wIndex), a = uint8_t(s.wValue);
      if (!configured || !d.configuration.Find(n, a)) return Response::Stall();
      d.alternates[n] = a;
      auto model = d.model;
      notes.push_back([model, n, a] {
        if (model->interfaceSelected) model->interfaceSelected(n, a);
      });
      return Response::Ack();
    }
    default:
      (void)out;
      return std::nullopt;
  }
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
  Device &d = *DeviceOf(pdo);
  USHORT function = urb->UrbHeader.Function;
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
  } else if (const FormattedRequest *f = FormattedFor(function)) {
    isTransfer = true;
    status = BuildFormatted(*f, urb, *t);
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
          out.others = TakeTransfers(d, pipe, USBD_STATUS_CANCELED);
          // The abort is done when the transfer the bus is moving right now has finished too.
          if (InFlightOn(d, pipe)) {
            IoMarkIrpPending(irp);
            d.waitingAborts.push_back({irp, pipe, 0});
            out.pending = true;
          }
          break;
        }
        if (function != URB_FUNCTION_SYNC_CLEAR_STALL) pipe->halted = false;
        if (function != URB_FUNCTION_SYNC_RESET_PIPE) d.deviceHalted.erase(pipe->endpoint.address);
        break;
      }
      default:
        status = USBD_STATUS_INVALID_URB_FUNCTION;
        break;
    }
  }
  uint64_t seq = TraceUrb(d, urb, isTransfer ? t : nullptr);
  if (out.pending) d.waitingAborts.back().traceSeq = seq;
  if (isTransfer && status == USBD_STATUS_SUCCESS) {
    t->traceSeq = seq;
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
    if (t.pipe && t.pipe->halted) return finish(USBD_STATUS_ENDPOINT_HALTED, 0);
    fault = FaultFor(d, t);
    if (!fault && t.pipe && !t.control && t.pipe->endpoint.type != EndpointType::Isochronous &&
        d.deviceHalted.count(t.endpoint))
      fault = Response::Stall();
    if (!fault && t.control && !t.pipe)
      answer = StandardRequest(d, t.setup, std::span<const uint8_t>(buffer, t.setup.In() ? 0 : t.length), notes);
  }
  for (auto &note : notes) note();
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
