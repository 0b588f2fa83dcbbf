// A simulated machine for testing applications without hardware (Linux build only; link the
// `xrusb_sim` library). It runs the real xrusb driver on a simulated Windows kernel above a
// simulated USB bus; the library (device.hpp, pipe.hpp) talks to it exactly as it talks to
// Windows.
//
//   xrusb::sim::Machine machine;
//   machine.PlugTestDevice();
//   xrusb::Device dev = xrusb::Device::Open(xrusb::ListDevices().front());
//   ...
//   machine.WriteCapture("session.pcap");   // open it in Wireshark
//
// One Machine exists at a time in a process. Its calls may come from any thread; the library's
// calls may run on several threads at once while it lives. Misuse (an unknown device, a second
// machine) throws std::logic_error; a file that cannot be written throws std::system_error.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "descriptors.hpp"

namespace xrusb::sim {

enum class Speed { Full, High, Super };

// The setup packet of a control request, as the device receives it.
struct Setup {
  uint8_t requestType = 0;  // bmRequestType
  uint8_t request = 0;      // bRequest
  uint16_t value = 0;
  uint16_t index = 0;
  uint16_t length = 0;
  bool In() const noexcept { return requestType & 0x80; }
};

// What a device does with one request (a control request, a bulk or interrupt transfer, or one
// isochronous packet).
struct Response {
  enum class Kind {
    Ack,    // IN: 'data' is sent (fewer bytes than asked is a short packet); OUT: 'accepted' taken
    Stall,  // the endpoint halts until the host clears it
    Nak,    // no answer: the request waits until it is cancelled or aborted
    Error,  // the transfer fails with 'usbdStatus'
  };
  Kind kind = Kind::Ack;
  uint32_t usbdStatus = 0;  // Error: a USBD status, e.g. 0xC0000001 (CRC), 0xC0000012 (data overrun)
  std::vector<uint8_t> data;
  size_t accepted = SIZE_MAX;  // OUT: bytes taken; SIZE_MAX: all

  static Response Ack(std::vector<uint8_t> bytes = {}) { return {Kind::Ack, 0, std::move(bytes)}; }
  static Response Accept(size_t bytes) { return {Kind::Ack, 0, {}, bytes}; }
  static Response Stall() { return {Kind::Stall, 0xC0000004u, {}}; }
  static Response Nak() { return {Kind::Nak, 0, {}}; }
  static Response Error(uint32_t usbdStatus) { return {Kind::Error, usbdStatus, {}}; }
};

// A device of your own: its descriptors as bytes, and handlers for what the bus does not answer
// from the descriptors (the bus answers GET_DESCRIPTOR, SET_ADDRESS, SET/GET_CONFIGURATION,
// SET/GET_INTERFACE, GET_STATUS and the features itself). Handlers run on the bus's thread.
struct DeviceModel {
  Speed speed = Speed::High;
  std::vector<uint8_t> deviceDescriptor;              // 18 bytes
  std::vector<std::vector<uint8_t>> configurations;  // each whole (wTotalLength bytes), by index
  std::map<uint8_t, std::vector<uint8_t>> strings;    // string descriptors by index; 0: languages
  std::vector<uint8_t> bos;                           // the BOS descriptor set; empty: none
  // Class, vendor and other requests on endpoint 0. Unset: they stall.
  std::function<Response(const Setup &setup, std::span<const uint8_t> outData)> control;
  // Requests on control endpoints other than 0. Unset: they stall.
  std::function<Response(uint8_t endpoint, const Setup &setup, std::span<const uint8_t> outData)> endpointControl;
  // Data endpoints: IN asks for up to 'length' bytes, OUT offers 'data'. Unset: IN NAKs, OUT takes all.
  std::function<Response(uint8_t endpoint, size_t length)> in;
  std::function<Response(uint8_t endpoint, std::span<const uint8_t> data)> out;
};

// String descriptors for DeviceModel::strings.
std::vector<uint8_t> StringDescriptor(std::u16string_view text);
std::vector<uint8_t> LanguagesDescriptor(std::span<const uint16_t> languageIds);

// The built-in test device (VID 1209, PID 7355): bulk source 0x81, sink 0x02, loopback 0x03 ->
// 0x83, interrupt 0x84/0x05, isochronous 0x86/0x06 in interface 1 alt 1, a second control
// endpoint 0x07 in interface 2; vendor requests 0x5B/0x5C write/read its memory at wValue,
// 0x5D/0x5E set/get a 16-bit register. Configuration 2: loopback 0x01 -> 0x81.
struct TestDeviceOptions {
  Speed speed = Speed::High;  // Full or High
  uint16_t vendorId = 0x1209;
  uint16_t productId = 0x7355;
  std::u16string serial = u"0001";
  size_t loopbackCapacity = 4096;
};

// Values of the device's hardware registry key, read by the driver when the device is plugged
// (docs/registry.md lists them).
struct PlugOptions {
  std::map<std::string, uint32_t> numbers;     // e.g. {"RequestTimeout", 500}
  std::map<std::string, std::string> strings;  // e.g. {"DriverDeviceBaseName", "MyDev"}
};

// A fault on demand: 'response' answers instead of the device, 'count' times (0: until cleared).
struct Fault {
  Response response;
  unsigned count = 1;
};

// One request as it reached the bus, and its outcome.
struct Transfer {
  uint64_t id = 0;        // in submission order, per device
  uint16_t function = 0;  // the URB function
  uint8_t endpoint = 0;   // address; 0 for the default pipe
  TransferType type = TransferType::Control;
  bool in = false;
  std::optional<Setup> setup;  // control requests
  uint32_t requestedLength = 0;
  uint32_t actualLength = 0;
  uint32_t isoPackets = 0;
  uint32_t usbdStatus = 0;  // 0 success; 0x40000000 while pending
  bool pending = false;
  double submittedMs = 0;  // on the machine's clock
  double completedMs = 0;
  // With MachineOptions::captureData: what crossed the bus, and an isochronous transfer's packets.
  std::vector<uint8_t> data;
  struct IsoPacket {
    uint32_t offset = 0;
    uint32_t length = 0;
    uint32_t usbdStatus = 0;
  };
  std::vector<IsoPacket> packets;
  uint32_t startFrame = 0;

  // "0x81 bulk IN 512/512 ok" — one line.
  std::string Describe() const;
};

struct MachineOptions {
  bool realTimeBus = false;  // transfers take the time the bus's payload rate needs
  bool captureData = false;  // keep transfers' data in the trace (needed for a capture's payloads)
};

using DeviceId = unsigned;

namespace detail {
struct MachineAccess;
}

class Machine {
 public:
  explicit Machine(const MachineOptions &options = {});
  ~Machine();  // unplugs what is plugged; handles still open see the device gone
  Machine(const Machine &) = delete;
  Machine &operator=(const Machine &) = delete;

  // Plugged and started; the device's interface is present when these return.
  DeviceId PlugTestDevice(const TestDeviceOptions &device = {}, const PlugOptions &options = {});
  DeviceId PlugFx2Bootloader(const PlugOptions &options = {});  // a bare EZ-USB FX2 (04B4:8613)
  DeviceId Plug(DeviceModel model, const PlugOptions &options = {});
  // A file in the simulated \SystemRoot\system32\drivers\ folder, where the driver reads the
  // firmware an FX device's FxFwFile value names.
  void PutDriverFile(const std::string &name, std::vector<uint8_t> bytes);
  // Surprise removal: requests in flight fail, open handles see the device gone.
  void Unplug(DeviceId device);
  std::vector<DeviceId> Devices() const;  // plugged, in plug order
  // The device's interface path (give it to xrusb::Device::Open); empty while it is away.
  std::u16string Path(DeviceId device) const;

  void FailEndpoint(DeviceId device, uint8_t endpoint, Fault fault);  // endpoint 0: the default pipe
  void FailRequest(DeviceId device, uint8_t bRequest, Fault fault);   // control requests on endpoint 0
  void ClearFaults(DeviceId device);

  std::vector<Transfer> Trace(DeviceId device) const;
  void ClearTrace(DeviceId device);
  // Every device's trace so far, in the USBPcap format (pcap, link type 249) that Wireshark reads.
  void WriteCapture(const std::string &path) const;

  // Waits until pending re-enumerations and bus work have finished.
  void Settle();

 private:
  friend struct detail::MachineAccess;
  struct State;
  std::unique_ptr<State> s_;
};

}  // namespace xrusb::sim
