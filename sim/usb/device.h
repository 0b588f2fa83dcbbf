// A simulated USB device: its descriptors plus the handlers that answer what the bus cannot
// answer itself. Tests build one in a few lines; the models in this folder are ready-made ones.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "platform/platform.h"

namespace sim::usb {

enum class Speed { Full, High, Super };

struct Setup {
  uint8_t bmRequestType = 0;
  uint8_t bRequest = 0;
  uint16_t wValue = 0;
  uint16_t wIndex = 0;
  uint16_t wLength = 0;
  bool In() const { return bmRequestType & 0x80; }
};

// What the device does with one transaction (a control request, a bulk or interrupt transfer,
// or one isochronous packet).
struct Response {
  enum class Kind {
    Ack,    // done: IN data in 'data' (fewer bytes than asked is a short packet), OUT 'accepted'
    Stall,  // the endpoint halts (USBD_STATUS_STALL_PID); it stays halted until cleared
    Nak,    // no answer: the request stays pending until it is cancelled or aborted
    Error,  // fails with 'status' (any USBD error status)
  };
  Kind kind = Kind::Ack;
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  std::vector<uint8_t> data;
  size_t accepted = SIZE_MAX;  // OUT: bytes taken; SIZE_MAX: all

  static Response Ack(std::vector<uint8_t> bytes = {}) { return {Kind::Ack, USBD_STATUS_SUCCESS, std::move(bytes)}; }
  static Response Stall() { return {Kind::Stall, USBD_STATUS_STALL_PID, {}}; }
  static Response Nak() { return {Kind::Nak, USBD_STATUS_SUCCESS, {}}; }
  static Response Error(USBD_STATUS s) { return {Kind::Error, s, {}}; }
};

class Bus;

struct DeviceModel {
  Speed speed = Speed::High;
  std::vector<uint8_t> deviceDescriptor;                 // 18 bytes, or whatever a faulty device sends
  std::vector<std::vector<uint8_t>> configurations;      // whole configuration blocks, by index
  std::map<uint8_t, std::vector<uint8_t>> strings;       // string descriptors by index (0: languages)

  // Requests on endpoint 0 that the bus does not answer from its own state: class, vendor, and
  // standard requests other than descriptors, address, configuration, interface, status and
  // features. Unset: the request stalls.
  std::function<Response(const Setup &setup, std::span<const uint8_t> outData)> control;
  // GET_DESCRIPTOR to the device as the device itself answers it, where the bus would answer from
  // the fields above: a device that lies (a header that differs from the whole block, answers
  // that change between reads, short or over-long ones). nullopt: the bus answers from the fields.
  // Unset: always the fields.
  std::function<std::optional<Response>(const Setup &setup)> descriptor;
  // Control requests on control endpoints other than 0.
  std::function<Response(uint8_t endpoint, const Setup &setup, std::span<const uint8_t> outData)> endpointControl;
  // Data endpoints: IN asks for up to 'length' bytes; OUT offers 'data'. Called once per bulk or
  // interrupt transfer and once per isochronous packet. Unset: IN answers Nak, OUT accepts all.
  std::function<Response(uint8_t endpoint, size_t length)> in;
  std::function<Response(uint8_t endpoint, std::span<const uint8_t> data)> out;

  // Notifications of what the host did.
  std::function<void(uint8_t configurationValue)> configured;  // 0: unconfigured
  std::function<void(uint8_t interfaceNumber, uint8_t alternateSetting)> interfaceSelected;
  std::function<void()> portReset;
  // Set by the bus when the device is plugged: a model that re-enumerates (or signals remote
  // wake-up) calls back through it.
  Bus *bus = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
};

}  // namespace sim::usb
