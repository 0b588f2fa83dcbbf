// Intel HEX files for EZ-USB FX firmware, as the xrusb driver loads them at device start: a
// check that reads a file exactly as the driver will and says where and why it would fail, and
// a fix that writes a copy the driver accepts. No state; any thread.
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace fxhex {

struct Finding {
  enum class Severity { Error, Warning };
  Severity severity = Severity::Error;
  uint32_t offset = 0;  // in the file; its length for a fault at the end
  unsigned line = 1, column = 1;
  std::string message;  // an error in the driver's own event-log words
};

struct CheckResult {
  bool loads = false;  // the driver parses it to its end record (the device may still refuse a write)
  unsigned records = 0;  // data records the driver writes
  uint32_t internalBytes = 0, externalBytes = 0;
  std::vector<Finding> findings;  // in file order; at most one error, the last
};

// fxExtRamBase as the device's FxExtRamBase value sets it.
CheckResult Check(std::span<const uint8_t> file, uint32_t fxExtRamBase = 0x2000);

struct FixResult {
  bool ok = false;
  std::string text;                  // the normalised file, when ok
  std::vector<std::string> changes;  // what was changed, or why it could not be, with line numbers
};

// Keeps every data record as it is (re-written in upper case with its checksum); drops
// extended-address records (types 02, 04) of upper address 0 and start-address records (03, 05);
// ends every record with CR LF. Refuses a file that needs addresses above 64 KiB, has a checksum
// error or a record it cannot read, or lacks its end-of-file record.
FixResult Fix(std::span<const uint8_t> file);

// "fw.hex:3:1: error: Invalid firmware file: record type."
std::string Format(const std::string &fileName, const Finding &finding);

}  // namespace fxhex
