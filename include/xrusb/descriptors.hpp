// USB descriptors as an application reads them, parsed from the bytes a device sent.
//
// The parsers never read outside the bytes they are given and never trust a length field: a
// configuration whose data stops short of wTotalLength is parsed as far as it goes and marked
// 'truncated'; a descriptor that breaks the format (a length below 2, an interface or endpoint
// descriptor too short to hold its fields) stops the walk or is skipped, and marks 'malformed'.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace xrusb {

namespace descriptor_type {
inline constexpr uint8_t kDevice = 1;
inline constexpr uint8_t kConfiguration = 2;
inline constexpr uint8_t kString = 3;
inline constexpr uint8_t kInterface = 4;
inline constexpr uint8_t kEndpoint = 5;
inline constexpr uint8_t kInterfaceAssociation = 11;
inline constexpr uint8_t kBos = 15;
inline constexpr uint8_t kDeviceCapability = 16;
inline constexpr uint8_t kSuperSpeedEndpointCompanion = 48;
}  // namespace descriptor_type

// The same numbers as the driver's pipe types and the endpoint's bmAttributes bits 0-1.
enum class TransferType : uint8_t { Control = 0, Isochronous = 1, Bulk = 2, Interrupt = 3 };
const char *ToString(TransferType type) noexcept;

struct DeviceDescriptor {
  uint16_t bcdUSB = 0;
  uint8_t deviceClass = 0;
  uint8_t deviceSubClass = 0;
  uint8_t deviceProtocol = 0;
  uint8_t maxPacketSize0 = 0;
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint16_t bcdDevice = 0;
  uint8_t manufacturerIndex = 0;
  uint8_t productIndex = 0;
  uint8_t serialNumberIndex = 0;
  uint8_t numConfigurations = 0;
};

// USB 3.2, 9.6.7: follows each endpoint descriptor of a SuperSpeed configuration.
struct SuperSpeedCompanion {
  uint8_t maxBurst = 0;       // packets per burst, less one
  uint8_t attributes = 0;     // bulk: streams (bits 0-4); isochronous: Mult (bits 0-1)
  uint16_t bytesPerInterval = 0;
};

struct EndpointDescriptor {
  uint8_t address = 0;
  uint8_t attributes = 0;
  uint16_t wMaxPacketSize = 0;  // as sent: bits 11-12 count extra high-speed transactions
  uint8_t interval = 0;
  std::vector<uint8_t> extra;  // descriptors that follow it (companions, class-specific)

  bool IsIn() const noexcept { return address & 0x80; }
  uint8_t Number() const noexcept { return address & 0x0F; }
  TransferType Type() const noexcept { return TransferType(attributes & 3); }
  uint16_t MaxPacketSize() const noexcept { return wMaxPacketSize & 0x7FF; }
  unsigned TransactionsPerMicroframe() const noexcept { return ((wMaxPacketSize >> 11) & 3) + 1; }
  // The SuperSpeed companion among 'extra', when there is one.
  std::optional<SuperSpeedCompanion> Companion() const noexcept;
};

// USB 3.2, 9.6.4: groups the interfaces of one function.
struct InterfaceAssociation {
  uint8_t firstInterface = 0;
  uint8_t interfaceCount = 0;
  uint8_t functionClass = 0;
  uint8_t functionSubClass = 0;
  uint8_t functionProtocol = 0;
  uint8_t stringIndex = 0;
};

struct AltSetting {
  uint8_t interfaceNumber = 0;
  uint8_t alternateSetting = 0;
  uint8_t numEndpoints = 0;  // bNumEndpoints as declared; 'endpoints' holds those present
  uint8_t interfaceClass = 0;
  uint8_t interfaceSubClass = 0;
  uint8_t interfaceProtocol = 0;
  uint8_t stringIndex = 0;
  std::vector<EndpointDescriptor> endpoints;
  std::vector<uint8_t> extra;  // class-specific descriptors before the first endpoint

  const EndpointDescriptor *FindEndpoint(uint8_t address) const noexcept;
};

struct Interface {
  uint8_t number = 0;
  std::vector<AltSetting> altSettings;  // in the order the block lists them
};

struct ConfigurationDescriptor {
  uint16_t totalLength = 0;   // wTotalLength as declared
  uint8_t numInterfaces = 0;  // bNumInterfaces as declared
  uint8_t configurationValue = 0;
  uint8_t stringIndex = 0;
  uint8_t attributes = 0;
  uint8_t maxPower = 0;               // in units of 2 mA (8 mA at super speed)
  std::vector<Interface> interfaces;  // in order of first appearance
  std::vector<uint8_t> extra;         // descriptors before the first interface
  std::vector<InterfaceAssociation> associations;
  std::vector<uint8_t> raw;           // the block as parsed (at most wTotalLength bytes)
  bool truncated = false;             // the device sent fewer than wTotalLength bytes
  bool malformed = false;             // a descriptor broke the format; see above

  bool SelfPowered() const noexcept { return attributes & 0x40; }
  bool RemoteWakeup() const noexcept { return attributes & 0x20; }
  const Interface *FindInterface(uint8_t number) const noexcept;
  const AltSetting *Find(uint8_t interfaceNumber, uint8_t alternateSetting) const noexcept;
};

// Errors: STATUS_DEVICE_DATA_ERROR for a device descriptor or string that is not one;
// ERR_BAD_CONFIG_DESCRIPTOR for a block whose configuration descriptor itself is unusable.
std::optional<DeviceDescriptor> ParseDeviceDescriptor(std::span<const uint8_t> bytes, std::error_code &ec);
std::optional<ConfigurationDescriptor> ParseConfiguration(std::span<const uint8_t> bytes, std::error_code &ec);
// A string descriptor's text (UTF-16, as sent; an odd last byte is dropped).
std::optional<std::u16string> ParseString(std::span<const uint8_t> bytes, std::error_code &ec);
// String descriptor 0: the language IDs.
std::vector<uint16_t> ParseLanguages(std::span<const uint8_t> bytes, std::error_code &ec);

// USB 3.2, 9.6.2: the binary device object store and its device capabilities.
struct DeviceCapability {
  uint8_t type = 0;           // bDevCapabilityType: 2 USB 2.0 extension, 3 SuperSpeed, 4 container ID, ...
  std::vector<uint8_t> data;  // the capability's bytes after bDevCapabilityType
};
struct BosDescriptor {
  uint16_t totalLength = 0;
  std::vector<DeviceCapability> capabilities;
  bool truncated = false;
};
// STATUS_DEVICE_DATA_ERROR for bytes that do not start with a BOS descriptor.
std::optional<BosDescriptor> ParseBos(std::span<const uint8_t> bytes, std::error_code &ec);

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);

}  // namespace xrusb
