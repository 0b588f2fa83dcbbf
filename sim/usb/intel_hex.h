// Intel HEX text from memory segments, so that tests and the demo can make firmware files.
// Only data records (type 00) and the end record (type 01): 16-bit addresses, as an FX loader
// takes them.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace sim::usb {

struct HexSegment {
  uint16_t address = 0;
  std::vector<uint8_t> data;
};

struct HexOptions {
  size_t recordSize = 16;        // data bytes per record, 1..255
  bool lowercase = false;
  std::string lineEnd = "\r\n";  // after every record, the end record included
  bool endRecord = true;
};

// Segments are written in the order given, each split into records of recordSize bytes; a record
// never crosses a segment's end. Throws std::invalid_argument for a segment running past 0xFFFF
// or a record size outside 1..255.
std::string WriteIntelHex(const std::vector<HexSegment> &segments, const HexOptions &options = {});

}  // namespace sim::usb
