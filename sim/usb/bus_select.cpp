// Configuration and interface selection: the caller's choice checked against the device, the
// periodic bandwidth it needs, and the pipes it opens and closes.
#include <algorithm>
#include <cstddef>
#include <set>
#include <span>

#include "sim/usb/bus_internal.h"

namespace sim::usb::detail {
namespace {

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

}  // namespace

const ParsedConfiguration *FindConfiguration(Device &d, uint8_t value, std::vector<ParsedConfiguration> &store) {
  for (auto &block : d.model->configurations) {
    store.push_back(Parse(block));
    if (store.back().valid && store.back().configurationValue == value) return &store.back();
  }
  return nullptr;
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
  // The USB stack works from the caller's descriptor, not from the device's: it parses the
  // block within wTotalLength and opens the pipes it describes.
  const auto *cd = reinterpret_cast<const uint8_t *>(sc.ConfigurationDescriptor);
  if (cd[0] < sizeof(USB_CONFIGURATION_DESCRIPTOR) || cd[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE)
    return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
  const ParsedConfiguration config = Parse(std::span<const uint8_t>(cd, size_t(cd[2] | cd[3] << 8)));
  if (!config.valid) return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
  std::vector<ParsedConfiguration> store;
  store.reserve(d.model->configurations.size());
  const ParsedConfiguration *own = FindConfiguration(d, config.configurationValue, store);

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
    const AlternateSetting *alt = config.Find(info->InterfaceNumber, info->AlternateSetting);
    if (!alt) return USBD_STATUS_INTERFACE_NOT_FOUND;
    if (!seen.insert(info->InterfaceNumber).second) return USBD_STATUS_INVALID_PARAMETER;
    if (info->Length < GET_USBD_INTERFACE_SIZE(alt->endpoints.size())) return USBD_STATUS_INVALID_PARAMETER;
    bandwidth += AlternateBandwidth(*alt, d.model->speed);
    entries.push_back({info, alt});
    p += info->Length;
  }
  // USBD_CreateConfigurationRequestEx docs: the list names every interface of the
  // configuration; the stack refuses a selection of fewer.
  if (entries.size() != config.interfaces.size()) return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
  // USB 2.0, 9.4.7: the device stalls SET_CONFIGURATION for a value it lacks.
  if (!own) return USBD_STATUS_SET_CONFIG_FAILED;
  ULONG others = State().consumedBandwidth - DeviceBandwidth(d, -1);
  if (others + bandwidth > PeriodicLimit(d.model->speed)) return USBD_STATUS_NO_BANDWIDTH;

  CloseInterface(d, -1, out.others);
  d.configuration = *own;  // the device's own facts: attributes, and what SET_INTERFACE finds
  d.configurationHandle = NewHandle();
  sc.ConfigurationHandle = d.configurationHandle;
  SetConfigured(d, own->configurationValue, out);
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

}  // namespace sim::usb::detail
