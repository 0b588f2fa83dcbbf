// Control requests: the formatted URB functions turned into setup packets, raw control transfers,
// and the standard requests the bus answers from the device's state.
#include <algorithm>
#include <cstring>

#include "sim/usb/bus_internal.h"

namespace sim::usb::detail {
namespace {

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

}  // namespace

std::optional<USBD_STATUS> BuildFormattedRequest(PURB urb, Transfer &t) {
  const FormattedRequest *f = FormattedFor(urb->UrbHeader.Function);
  if (!f) return std::nullopt;
  return BuildFormatted(*f, urb, t);
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

}  // namespace sim::usb::detail
