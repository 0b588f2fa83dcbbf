// Finding xrusb devices and talking to them through their default control pipe.
//
//   for (const xrusb::DeviceEntry &e : xrusb::ListDevices()) {
//     xrusb::Device dev = xrusb::Device::Open(e.path);
//     xrusb::DeviceDescriptor d = dev.GetDeviceDescriptor();
//     dev.SetConfiguration(0, {{.interfaceNumber = 0, .altSetting = 0}});
//     xrusb::Pipe in = dev.OpenPipe(0x81);
//   }
//
// A Device is one handle on the device, closed when the object goes. Its calls may be made from
// several threads at once; the driver serialises them per device. Errors: see error.hpp (each
// call throws std::system_error, or takes a trailing std::error_code&).
#pragma once
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "descriptors.hpp"
#include "error.hpp"

namespace xrusb {

using Milliseconds = std::chrono::milliseconds;
inline constexpr Milliseconds kInfinite{-1};  // any negative time-out waits without limit
using NativeHandle = void *;

class Pipe;

struct Guid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  uint8_t data4[8] = {};

  // "{DB293BE4-1F5D-40E6-9A6F-4C41D12A339E}", braces optional.
  static std::optional<Guid> Parse(std::string_view text);
  std::string ToString() const;  // braced, upper case
  friend bool operator==(const Guid &, const Guid &) = default;
};

// The interface class every xrusb device registers unless told otherwise.
inline constexpr Guid kDefaultInterfaceGuid{
    0xDB293BE4, 0x1F5D, 0x40E6, {0x9A, 0x6F, 0x4C, 0x41, 0xD1, 0x2A, 0x33, 0x9E}};

struct DeviceEntry {
  std::u16string path;               // give it to Device::Open
  std::optional<uint16_t> vendorId;  // from the path, when it names them ("vid_1234&pid_5678")
  std::optional<uint16_t> productId;
  std::optional<DeviceDescriptor> descriptor;  // with ListFlags::ReadDescriptor, when it could be read

  std::string Utf8Path() const { return ToUtf8(path); }
};

enum class ListFlags : unsigned {
  None = 0,
  ReadDescriptor = 1,  // open each device briefly and read its device descriptor
};

// The present devices of an interface class; an empty list when there is none.
std::vector<DeviceEntry> ListDevices(const Guid &interfaceClass = kDefaultInterfaceGuid,
                                     ListFlags flags = ListFlags::None);
std::vector<DeviceEntry> ListDevices(const Guid &interfaceClass, ListFlags flags, std::error_code &ec);

// The devices of the class with this vendor and product ID (and serial number string, when
// given), in ListDevices order; an empty list when there is none.
std::vector<DeviceEntry> FindDevices(uint16_t vendorId, uint16_t productId,
                                     const std::optional<std::string> &serialNumber = std::nullopt,
                                     const Guid &interfaceClass = kDefaultInterfaceGuid);
std::vector<DeviceEntry> FindDevices(uint16_t vendorId, uint16_t productId,
                                     const std::optional<std::string> &serialNumber, const Guid &interfaceClass,
                                     std::error_code &ec);

enum class Recipient : uint8_t { Device = 0, Interface = 1, Endpoint = 2, Other = 3 };

// The speed the device runs at. The driver learns only "high speed or not" from the bus: a device
// that is not at high speed is reported at full speed (low-speed devices are not told apart, and
// a bus that offers only version 0 of its interface reports every device so), one that is and
// declares USB 3 (bcdUSB 3.0 and above, which a USB 3 device reports only when it runs at
// SuperSpeed) at SuperSpeed.
enum class Speed : uint8_t { Unknown, Low, Full, High, Super };
enum class RequestType : uint8_t { Class = 1, Vendor = 2 };

// A class or vendor request on the default control pipe. The data stage is the buffer given
// with it (none when empty), its direction that of the call.
struct ControlRequest {
  RequestType type = RequestType::Vendor;
  Recipient recipient = Recipient::Device;
  uint8_t request = 0;       // bRequest
  uint16_t value = 0;        // wValue
  uint16_t index = 0;        // wIndex
  bool allowShort = true;    // a data stage shorter than the buffer is no error
  uint8_t reservedBits = 0;  // merged into bmRequestType by the bus driver
};

inline constexpr uint32_t kDefaultMaxTransferSize = 1u << 20;

// One interface of a configuration to select, with the alternate setting to select in it.
struct InterfaceSelection {
  uint8_t interfaceNumber = 0;
  uint8_t altSetting = 0;
  uint32_t maxTransferSize = kDefaultMaxTransferSize;  // for every pipe of the interface
};

// What the driver holds of the configuration in force (IOCTL_GET_CONFIGURATION_INFO).
struct ActiveInterface {
  uint8_t number = 0;
  uint8_t altSetting = 0;
  uint8_t interfaceClass = 0;
  uint8_t interfaceSubClass = 0;
  uint8_t interfaceProtocol = 0;
  uint8_t numPipes = 0;
};
struct ActivePipe {
  uint8_t endpoint = 0;
  TransferType type = TransferType::Control;
  uint16_t maxPacketSize = 0;
  uint32_t maxTransferSize = 0;
  uint8_t interval = 0;
  uint8_t interfaceNumber = 0;
  bool IsIn() const noexcept { return endpoint & 0x80; }
};
struct ActiveConfiguration {
  std::vector<ActiveInterface> interfaces;  // in the order they were selected
  std::vector<ActivePipe> pipes;
  bool Configured() const noexcept { return !interfaces.empty(); }
  const ActivePipe *FindPipe(uint8_t endpoint) const noexcept;
  const ActiveInterface *FindInterface(uint8_t number) const noexcept;
};

// The device's parameters kept by the driver.
namespace option {
inline constexpr uint32_t kResetOnClose = 0x1;        // reset the port at the last close
inline constexpr uint32_t kUnconfigureOnClose = 0x2;  // drop the configuration at the last close
inline constexpr uint32_t kRemoteWakeup = 0x4;        // arm remote wake-up where allowed
}  // namespace option
struct DeviceSettings {
  uint32_t options = 0;           // option::
  uint32_t requestTimeoutMs = 0;  // each request to the device; 0: no limit
};

enum class PowerState : uint32_t { D0 = 0, D1 = 1, D2 = 2, D3 = 3 };

struct Bandwidth {
  uint32_t total = 0;
  uint32_t consumed = 0;
};
struct DeviceProperties {
  bool highSpeed = false;  // known only when the bus offers it
  uint32_t openHandles = 0;
  uint32_t flags = 0;  // as the driver sent them
};
struct DriverVersion {
  uint16_t apiVersion = 0;
  uint16_t driverVersion = 0;
  uint32_t build = 0;
  uint32_t flags = 0;
};

class Device {
 public:
  Device() noexcept = default;
  ~Device();
  Device(Device &&other) noexcept;
  Device &operator=(Device &&other) noexcept;
  Device(const Device &) = delete;
  Device &operator=(const Device &) = delete;

  // 'path': an interface path from ListDevices, or "\\.\<name>" for a named device.
  static Device Open(std::u16string_view path);
  static Device Open(std::u16string_view path, std::error_code &ec);
  static Device Open(std::string_view utf8Path);
  static Device Open(std::string_view utf8Path, std::error_code &ec);
  static Device Open(const DeviceEntry &entry) { return Open(std::u16string_view(entry.path)); }

  bool IsOpen() const noexcept;
  explicit operator bool() const noexcept { return IsOpen(); }
  void Close() noexcept;
  const std::u16string &Path() const noexcept { return path_; }
  NativeHandle Handle() const noexcept { return handle_; }

  // A handle of its own, opened on this device and bound to the endpoint.
  Pipe OpenPipe(uint8_t endpoint) const;
  Pipe OpenPipe(uint8_t endpoint, std::error_code &ec) const;

  // Descriptors. Reads return the bytes the device sent.
  DeviceDescriptor GetDeviceDescriptor();
  DeviceDescriptor GetDeviceDescriptor(std::error_code &ec);
  // By descriptor index (0 for the first configuration), read whole.
  ConfigurationDescriptor GetConfigurationDescriptor(uint8_t index);
  ConfigurationDescriptor GetConfigurationDescriptor(uint8_t index, std::error_code &ec);
  size_t GetDescriptor(uint8_t type, uint8_t index, uint16_t languageId, std::span<uint8_t> buffer,
                       Recipient recipient = Recipient::Device);
  size_t GetDescriptor(uint8_t type, uint8_t index, uint16_t languageId, std::span<uint8_t> buffer, Recipient recipient,
                       std::error_code &ec);
  size_t SetDescriptor(uint8_t type, uint8_t index, uint16_t languageId, std::span<const uint8_t> data,
                       Recipient recipient = Recipient::Device);
  size_t SetDescriptor(uint8_t type, uint8_t index, uint16_t languageId, std::span<const uint8_t> data,
                       Recipient recipient, std::error_code &ec);
  // The BOS descriptor set (USB 2.1 and above), read whole. Devices without one stall.
  BosDescriptor GetBosDescriptor();
  BosDescriptor GetBosDescriptor(std::error_code &ec);
  std::vector<uint16_t> GetLanguages();
  std::vector<uint16_t> GetLanguages(std::error_code &ec);
  // Without a language, the device's first.
  std::u16string GetString(uint8_t index, std::optional<uint16_t> languageId = std::nullopt);
  std::u16string GetString(uint8_t index, std::optional<uint16_t> languageId, std::error_code &ec);
  std::string GetStringUtf8(uint8_t index, std::optional<uint16_t> languageId = std::nullopt);
  std::string GetStringUtf8(uint8_t index, std::optional<uint16_t> languageId, std::error_code &ec);

  // Standard requests.
  void SetFeature(Recipient recipient, uint16_t feature, uint16_t index);
  void SetFeature(Recipient recipient, uint16_t feature, uint16_t index, std::error_code &ec);
  void ClearFeature(Recipient recipient, uint16_t feature, uint16_t index);
  void ClearFeature(Recipient recipient, uint16_t feature, uint16_t index, std::error_code &ec);
  uint16_t GetStatus(Recipient recipient, uint16_t index);
  uint16_t GetStatus(Recipient recipient, uint16_t index, std::error_code &ec);
  uint8_t GetConfiguration();  // the configuration value the device reports
  uint8_t GetConfiguration(std::error_code &ec);
  uint8_t GetInterface(uint8_t interfaceNumber);  // its alternate setting, as the device reports it
  uint8_t GetInterface(uint8_t interfaceNumber, std::error_code &ec);

  // Any request on the default control pipe from its setup packet; the direction and the kind
  // come from bmRequestType, the data stage is 'data' (wLength is its size). Standard requests
  // go through the driver's own codes; SET_ADDRESS, SET_CONFIGURATION, SET_INTERFACE and
  // SYNCH_FRAME are refused with ERR_INVALID_PARAMETER (use SetConfiguration and SetInterface).
  // Every request is bounded by the device's request time-out (SetRequestTimeout).
  size_t ControlTransfer(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, std::span<uint8_t> data);
  size_t ControlTransfer(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, std::span<uint8_t> data,
                 std::error_code &ec);
  // The driver's limit on each request to the device (0: none; 1000 ms unless the registry says
  // otherwise); the same as changing DeviceSettings::requestTimeoutMs.
  void SetRequestTimeout(Milliseconds timeout);
  void SetRequestTimeout(Milliseconds timeout, std::error_code &ec);

  // Class and vendor requests; the number of bytes moved.
  size_t ControlIn(const ControlRequest &request, std::span<uint8_t> data);
  size_t ControlIn(const ControlRequest &request, std::span<uint8_t> data, std::error_code &ec);
  size_t ControlOut(const ControlRequest &request, std::span<const uint8_t> data = {});
  size_t ControlOut(const ControlRequest &request, std::span<const uint8_t> data, std::error_code &ec);

  // Configuration. 'index' is the configuration descriptor's index (0 for the first). Windows
  // selects every interface of a configuration at once: interfaces not named here are selected
  // in alternate setting 0 with the default maximum transfer size (the configuration
  // descriptor is read first to find them).
  void SetConfiguration(uint16_t index, std::span<const InterfaceSelection> interfaces);
  void SetConfiguration(uint16_t index, std::span<const InterfaceSelection> interfaces, std::error_code &ec);
  void SetConfiguration(uint16_t index, std::initializer_list<InterfaceSelection> interfaces) {
    SetConfiguration(index, std::span<const InterfaceSelection>(interfaces.begin(), interfaces.size()));
  }
  void SetConfiguration(uint16_t index, std::initializer_list<InterfaceSelection> interfaces, std::error_code &ec) {
    SetConfiguration(index, std::span<const InterfaceSelection>(interfaces.begin(), interfaces.size()), ec);
  }
  // The first configuration with every interface in alternate setting 0.
  void SetConfiguration();
  void SetConfiguration(std::error_code &ec);
  // By bConfigurationValue, as the USB request names it (the descriptors are read to find it);
  // interfaces not named are selected in alternate setting 0.
  void SetConfigurationByValue(uint8_t configurationValue, std::span<const InterfaceSelection> interfaces = {});
  void SetConfigurationByValue(uint8_t configurationValue, std::span<const InterfaceSelection> interfaces,
                               std::error_code &ec);
  void Unconfigure();
  void Unconfigure(std::error_code &ec);
  ActiveConfiguration GetActiveConfiguration();
  ActiveConfiguration GetActiveConfiguration(std::error_code &ec);
  // Replaces the configuration descriptor the driver keeps (it decides on remote wake-up).
  void StoreConfigurationDescriptor(std::span<const uint8_t> block);
  void StoreConfigurationDescriptor(std::span<const uint8_t> block, std::error_code &ec);
  // Another alternate setting of one interface; handles bound to its pipes are unbound.
  void SetInterface(const InterfaceSelection &selection);
  void SetInterface(const InterfaceSelection &selection, std::error_code &ec);

  // The driver's parameters for this device.
  DeviceSettings GetSettings();
  DeviceSettings GetSettings(std::error_code &ec);
  void SetSettings(const DeviceSettings &settings);
  void SetSettings(const DeviceSettings &settings, std::error_code &ec);
  PowerState GetPowerState();
  PowerState GetPowerState(std::error_code &ec);
  void SetPowerState(PowerState state);
  void SetPowerState(PowerState state, std::error_code &ec);

  // Port and bus.
  uint32_t GetFrameNumber();
  uint32_t GetFrameNumber(std::error_code &ec);
  Bandwidth GetBandwidth();
  Bandwidth GetBandwidth(std::error_code &ec);
  DeviceProperties GetProperties();
  DeviceProperties GetProperties(std::error_code &ec);
  Speed GetSpeed();
  Speed GetSpeed(std::error_code &ec);
  DriverVersion GetDriverVersion();
  DriverVersion GetDriverVersion(std::error_code &ec);
  // The device leaves the bus and comes back (under a new path, as a new Device).
  void CyclePort();
  void CyclePort(std::error_code &ec);
  // Resets the port; the device is left unconfigured.
  void Reset();
  void Reset(std::error_code &ec);

  // Exclusive use by this process while other processes have no handle open.
  void Acquire();
  void Acquire(std::error_code &ec);
  void Release();
  void Release(std::error_code &ec);
  // Busy-waits in the driver, with the device's requests held (at most about a millisecond).
  void StallExecution(uint32_t microseconds);
  void StallExecution(uint32_t microseconds, std::error_code &ec);

  // Any control code, for what the typed calls do not cover; the bytes returned.
  size_t IoControl(uint32_t code, std::span<const uint8_t> in, std::span<uint8_t> out, std::error_code &ec);

 private:
  Device(std::u16string path, NativeHandle handle) noexcept : path_(std::move(path)), handle_(handle) {}

  std::u16string path_;
  NativeHandle handle_ = nullptr;
};

}  // namespace xrusb

// OpenPipe gives a Pipe.
#include "pipe.hpp"
