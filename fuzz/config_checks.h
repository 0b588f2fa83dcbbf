// Drives the USB driver library and the descriptor parser with one arbitrary configuration
// block and checks what must hold whatever the bytes are. Shared by the fuzz target and the
// mutation test, so both judge the same things.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/usb/descriptors.h"

namespace xrusb_fuzz {

struct Outcome {
  std::string fault;  // empty: every check held
  bool urbMade = false;
  size_t interfacesFound = 0;
};

namespace detail {

inline void Fault(Outcome &o, const std::string &what) {
  if (o.fault.empty()) o.fault = what;
}

inline bool InterfaceInside(const uint8_t *d, const uint8_t *begin, const uint8_t *end) {
  return d >= begin && d < end && end - d >= 9 && d[0] >= 9 && d[0] <= end - d && d[1] == USB_INTERFACE_DESCRIPTOR_TYPE;
}

inline void CheckParsed(Outcome &o, const sim::usb::ParsedConfiguration &p, size_t size) {
  if (p.valid != p.reason.empty()) Fault(o, "Parse: valid and reason disagree: " + p.reason);
  if (!p.valid) return;
  if (p.totalLength > size || p.totalLength < 9) Fault(o, "Parse: valid with an impossible wTotalLength");
  if (p.interfaces.size() != p.declaredInterfaces) Fault(o, "Parse: valid with a wrong interface count");
  for (const auto &i : p.interfaces)
    for (const auto &a : i.alternates) {
      if (a.interfaceNumber != i.number) Fault(o, "Parse: alternate filed under the wrong interface");
      if (a.endpoints.size() != a.declaredEndpoints) Fault(o, "Parse: valid with a wrong endpoint count");
      if (a.offset + 9 > p.totalLength) Fault(o, "Parse: interface offset outside the block");
    }
}

}  // namespace detail

// 'input' is any bytes. The library trusts the 9-byte header and wTotalLength (its callers
// guarantee them), so the block handed to it is 'input' made to keep that promise: padded to
// 9 bytes, and with a wTotalLength larger than what was given cut down to it. The block lives
// in an allocation of exactly its size, so a read past it is caught by the address sanitizer.
// 'allocationMayFail': the pool may refuse the URB (fault injection is on).
inline Outcome Exercise(std::span<const uint8_t> input, bool allocationMayFail = false) {
  Outcome o;
  {
    auto exact = std::make_unique<uint8_t[]>(input.size());
    if (!input.empty()) memcpy(exact.get(), input.data(), input.size());
    sim::usb::ParsedConfiguration parsed = sim::usb::Parse({exact.get(), input.size()});
    detail::CheckParsed(o, parsed, input.size());
  }

  std::vector<uint8_t> bytes(input.begin(), input.end());
  if (bytes.size() < 9) bytes.resize(9, 0);
  size_t total = size_t(bytes[2] | bytes[3] << 8);
  const bool claimKept = total <= bytes.size();
  if (!claimKept) {
    total = std::min<size_t>(bytes.size(), 0xFFFF);
    bytes[2] = uint8_t(total);
    bytes[3] = uint8_t(total >> 8);
  }
  const size_t held = std::max<size_t>(total, 9);
  auto storage = std::make_unique<uint8_t[]>(held);
  memcpy(storage.get(), bytes.data(), held);
  const uint8_t *begin = storage.get();
  const uint8_t *end = begin + total;
  auto *config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(storage.get());

  // From every descriptor boundary a walk reaches, and from just past the block.
  for (const uint8_t *p = begin; p < end && end - p >= 2 && p[0] >= 2 && p[0] <= end - p; p += p[0]) {
    auto *d = USBD_ParseConfigurationDescriptorEx(config, const_cast<uint8_t *>(p), -1, -1, -1, -1, -1);
    if (!d) continue;
    auto *q = reinterpret_cast<const uint8_t *>(d);
    if (q < p || !detail::InterfaceInside(q, begin, end)) {
      detail::Fault(o, "ParseEx: returned something that is not an interface descriptor inside the block");
      return o;
    }
    auto *same = USBD_ParseConfigurationDescriptorEx(config, const_cast<uint8_t *>(p), d->bInterfaceNumber,
                                                     d->bAlternateSetting, d->bInterfaceClass,
                                                     d->bInterfaceSubClass, d->bInterfaceProtocol);
    if (same != d) detail::Fault(o, "ParseEx: exact criteria of the first match found something else");
  }
  if (USBD_ParseConfigurationDescriptorEx(config, const_cast<uint8_t *>(end), -1, -1, -1, -1, -1))
    detail::Fault(o, "ParseEx: found something from a start past wTotalLength");

  std::vector<PUSB_INTERFACE_DESCRIPTOR> found;
  for (const uint8_t *start = begin; start < end;) {
    auto *d = USBD_ParseConfigurationDescriptorEx(config, const_cast<uint8_t *>(start), -1, -1, -1, -1, -1);
    if (!d) break;
    found.push_back(d);
    start = reinterpret_cast<const uint8_t *>(d) + d->bLength;
  }
  o.interfacesFound = found.size();

  // A block the parser accepts must show the library exactly the interfaces the parser saw.
  if (claimKept && input.size() >= 9) {
    sim::usb::ParsedConfiguration parsed = sim::usb::Parse(input);
    if (parsed.valid) {
      std::vector<size_t> offsets;
      for (const auto &i : parsed.interfaces)
        for (const auto &a : i.alternates) offsets.push_back(a.offset);
      std::sort(offsets.begin(), offsets.end());
      std::vector<size_t> seen;
      for (auto *d : found) seen.push_back(size_t(reinterpret_cast<const uint8_t *>(d) - begin));
      if (offsets != seen) detail::Fault(o, "ParseEx and Parse disagree about the interfaces of a valid block");
    }
  }

  // The selection the driver would make from them (a bounded number of entries).
  const size_t count = std::min<size_t>(found.size(), 40);
  std::vector<USBD_INTERFACE_LIST_ENTRY> list(count + 1, USBD_INTERFACE_LIST_ENTRY{nullptr, nullptr});
  size_t expected = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  size_t pipes = 0;
  for (size_t i = 0; i < count; ++i) {
    list[i].InterfaceDescriptor = found[i];
    expected += GET_USBD_INTERFACE_SIZE(found[i]->bNumEndpoints);
    pipes += found[i]->bNumEndpoints;
  }
  PURB urb = USBD_CreateConfigurationRequestEx(config, list.data());
  const bool describable = count > 0 && expected <= 0xFFFF;
  if (!urb) {
    if (describable && !allocationMayFail) detail::Fault(o, "CreateEx: refused a describable selection");
    return o;
  }
  o.urbMade = true;
  if (!describable) detail::Fault(o, "CreateEx: made a request it cannot describe");
  if (urb->UrbHeader.Length != expected || expected != GET_SELECT_CONFIGURATION_REQUEST_SIZE(count, pipes))
    detail::Fault(o, "CreateEx: header Length does not match the interfaces and pipes");
  if (urb->UrbHeader.Function != URB_FUNCTION_SELECT_CONFIGURATION ||
      urb->UrbSelectConfiguration.ConfigurationDescriptor != config)
    detail::Fault(o, "CreateEx: wrong function or descriptor");
  auto *next = reinterpret_cast<uint8_t *>(&urb->UrbSelectConfiguration.Interface);
  auto *urbEnd = reinterpret_cast<uint8_t *>(urb) + expected;
  for (size_t i = 0; i < count && o.fault.empty(); ++i) {
    PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
    if (reinterpret_cast<uint8_t *>(info) != next) {
      detail::Fault(o, "CreateEx: list entry does not point at its interface in the URB");
      break;
    }
    if (info->Length != GET_USBD_INTERFACE_SIZE(found[i]->bNumEndpoints) ||
        info->NumberOfPipes != found[i]->bNumEndpoints || info->InterfaceNumber != found[i]->bInterfaceNumber ||
        info->AlternateSetting != found[i]->bAlternateSetting)
      detail::Fault(o, "CreateEx: interface information does not match its descriptor");
    PUSBD_PIPE_INFORMATION p = info->Pipes;
    for (ULONG k = 0; k < info->NumberOfPipes; ++k) {
      if (p[k].MaximumTransferSize != USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE || p[k].PipeFlags != 0 || p[k].PipeHandle)
        detail::Fault(o, "CreateEx: pipe entry not initialised");
      p[k].MaximumTransferSize = 4096;  // what the driver does next; the room must be there
    }
    next += info->Length;
  }
  if (o.fault.empty() && next != urbEnd) detail::Fault(o, "CreateEx: interfaces do not fill the URB");
  ExFreePoolWithTag(urb, 0);
  return o;
}

}  // namespace xrusb_fuzz
