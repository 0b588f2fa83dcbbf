// Intel HEX records as the FX firmware loader reads them, one record at a time. Shared by the
// driver and the user-mode HEX checker, so that both read a file the same way: it uses nothing
// but fixed-width integers and runs at any IRQL.
#pragma once
#include <stdint.h>

constexpr uint8_t HEX_RECORD_DATA = 0;
constexpr uint8_t HEX_RECORD_END_OF_FILE = 1;

// Why a record cannot be read. Each has its own event-log text (HexFaultText).
enum HexFault : uint8_t {
  HEX_OK = 0,
  HEX_MISSING_COLON,   // no further ':' in the image
  HEX_LENGTH_FIELD,
  HEX_UNEXPECTED_EOF,  // the record, or the one character that must follow it, runs past the end
  HEX_ADDRESS_FIELD,
  HEX_TYPE_FIELD,
  HEX_DATA_RECORD,
  HEX_RECORD_TYPE,     // read whole, but neither data nor end of file
  HEX_FAULT_COUNT
};

struct HexRecord {
  uint8_t length;
  uint16_t address;
  uint8_t type;
  uint8_t data[255];
  uint32_t start;  // offset of the record's ':' (the image's length when none was found)
  uint32_t next;   // offset just past its checksum, where the search for the next ':' starts
};

// A hex digit is '0'..'9', 'A'..'F' or 'a'..'f'; anything else answers false.
bool HexDigitValue(char c, uint8_t *value);
bool HexByteValue(char high, char low, uint8_t *value);

// Reads the first record at or after offset 'from'. Anything before its ':' is skipped, its
// checksum is not read. HEX_OK: a data or end-of-file record.
HexFault ParseHexRecord(const uint8_t *image, uint32_t length, uint32_t from, HexRecord *record);

// The event-log text of a fault, e.g. "Invalid firmware file: missing ':'.".
const char *HexFaultText(HexFault fault);

// The record's start address alone decides which memory it goes to, even when it runs across
// the base.
inline bool HexRecordIsExternal(uint16_t address, uint32_t fxExtRamBase) { return address >= fxExtRamBase; }
