// Names from the usb.ids database (Debian package usb.ids), where it is installed.
#pragma once
#include <cstdint>
#include <string>

namespace xrusbctl {

// Empty when the database or the entry is missing.
std::string VendorName(uint16_t vendorId);
std::string ProductName(uint16_t vendorId, uint16_t productId);
std::string ClassName(uint8_t cls);
std::string SubClassName(uint8_t cls, uint8_t subClass);
std::string ProtocolName(uint8_t cls, uint8_t subClass, uint8_t protocol);

}  // namespace xrusbctl
