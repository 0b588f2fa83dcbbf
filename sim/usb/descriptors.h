// USB descriptors for tests and device models: builders that write them in a few lines, and a
// parser the bus uses to judge a configuration block before it selects anything from it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim::usb {

// Pool tag of the URBs that the USB driver library allocates for its callers ("Usbd").
constexpr uint32_t kUsbdLibraryPoolTag = 0x64627355;

// bmAttributes bits 0-1; the same numbers as USBD_PIPE_TYPE.
enum class EndpointType : uint8_t { Control = 0, Isochronous = 1, Bulk = 2, Interrupt = 3 };

// A configuration block: the configuration descriptor, then interfaces (one per alternate
// setting) each followed by its endpoints, in call order. Build() fills in wTotalLength,
// bNumInterfaces (distinct interface numbers) and each interface's bNumEndpoints; a test that
// wants a lying block edits the bytes afterwards.
class ConfigBuilder {
 public:
  explicit ConfigBuilder(uint8_t configurationValue = 1, uint8_t attributes = 0x80, uint8_t maxPower = 50,
                         uint8_t stringIndex = 0);

  ConfigBuilder &Interface(uint8_t number, uint8_t alternate, uint8_t interfaceClass = 0xFF, uint8_t subclass = 0,
                           uint8_t protocol = 0, uint8_t stringIndex = 0);
  // maxPacket is the size of one transaction (bits 0-10); transactions (1-3) is how many a
  // high-speed periodic endpoint moves per microframe, written into bits 11-12.
  ConfigBuilder &Endpoint(uint8_t address, EndpointType type, uint16_t maxPacket, uint8_t interval = 0,
                          uint8_t transactions = 1);
  // Any other descriptor (class-specific, association, companion), appended as given.
  ConfigBuilder &Raw(std::vector<uint8_t> descriptor);

  std::vector<uint8_t> Build() const;

 private:
  std::vector<uint8_t> bytes_;
  std::vector<size_t> interfaceOffsets_;
  std::vector<uint8_t> endpointCounts_;
};

struct DeviceFields {
  uint16_t bcdUSB = 0x0200;
  uint8_t deviceClass = 0;
  uint8_t deviceSubClass = 0;
  uint8_t deviceProtocol = 0;
  uint8_t maxPacketSize0 = 64;
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint16_t bcdDevice = 0x0100;
  uint8_t manufacturerString = 0;
  uint8_t productString = 0;
  uint8_t serialString = 0;
  uint8_t numConfigurations = 1;
};
std::vector<uint8_t> DeviceDescriptor(const DeviceFields &fields);

// A string descriptor; text longer than a descriptor can hold (126 code units) is cut.
std::vector<uint8_t> StringDescriptor(std::u16string_view text);
// String descriptor 0: the language IDs the device offers.
std::vector<uint8_t> LanguageTable(std::initializer_list<uint16_t> languages = {0x0409});

struct EndpointInfo {
  uint8_t address = 0;
  uint8_t attributes = 0;
  EndpointType type = EndpointType::Control;
  uint16_t wMaxPacketSize = 0;  // as sent
  uint16_t maxPacketSize = 0;   // bits 0-10: one transaction
  uint8_t transactions = 1;     // bits 11-12 plus one
  uint8_t interval = 0;
  bool In() const { return address & 0x80; }
};

struct AlternateSetting {
  uint8_t interfaceNumber = 0;
  uint8_t alternateSetting = 0;
  uint8_t interfaceClass = 0;
  uint8_t interfaceSubClass = 0;
  uint8_t interfaceProtocol = 0;
  uint8_t stringIndex = 0;
  uint8_t declaredEndpoints = 0;  // bNumEndpoints
  size_t offset = 0;              // of the interface descriptor in the block
  std::vector<EndpointInfo> endpoints;
};

struct InterfaceInfo {
  uint8_t number = 0;
  std::vector<AlternateSetting> alternates;  // in block order
};

struct ParsedConfiguration {
  // False when the block breaks a rule of its format; 'reason' names the first fault and
  // where it is. What was read before the fault is kept.
  bool valid = false;
  std::string reason;
  uint16_t totalLength = 0;
  uint8_t declaredInterfaces = 0;  // bNumInterfaces
  uint8_t configurationValue = 0;
  uint8_t stringIndex = 0;
  uint8_t attributes = 0;
  uint8_t maxPower = 0;
  std::vector<InterfaceInfo> interfaces;  // in order of first appearance

  const InterfaceInfo *FindInterface(uint8_t number) const;
  const AlternateSetting *Find(uint8_t number, uint8_t alternate) const;
};

// Never throws and never reads outside 'block'. Bytes past wTotalLength are ignored.
ParsedConfiguration Parse(std::span<const uint8_t> block);

}  // namespace sim::usb
