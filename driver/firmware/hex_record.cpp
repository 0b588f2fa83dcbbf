#include "driver/firmware/hex_record.h"

namespace {

// ':' LL AAAA TT, then 2 x LL data digits and two checksum characters.
constexpr uint32_t HEX_RECORD_OVERHEAD = 11;

const char *const HEX_FAULT_TEXTS[HEX_FAULT_COUNT] = {
    "",
    "Invalid firmware file: missing ':'.",
    "Invalid firmware file: length field.",
    "Invalid firmware file: unexpected EOF.",
    "Invalid firmware file: address field.",
    "Invalid firmware file: type field.",
    "Invalid firmware file: data record.",
    "Invalid firmware file: record type.",
};

bool ByteAt(const uint8_t *text, uint8_t *value) { return HexByteValue(char(text[0]), char(text[1]), value); }

}  // namespace

bool HexDigitValue(char c, uint8_t *value) {
  if (c >= '0' && c <= '9') {
    *value = uint8_t(c - '0');
  } else if (c >= 'A' && c <= 'F') {
    *value = uint8_t(c - 'A' + 10);
  } else if (c >= 'a' && c <= 'f') {
    *value = uint8_t(c - 'a' + 10);
  } else {
    return false;
  }
  return true;
}

bool HexByteValue(char high, char low, uint8_t *value) {
  uint8_t h, l;
  if (!HexDigitValue(high, &h) || !HexDigitValue(low, &l)) return false;
  *value = uint8_t(h << 4 | l);
  return true;
}

HexFault ParseHexRecord(const uint8_t *image, uint32_t length, uint32_t from, HexRecord *record) {
  uint32_t p = from;
  while (p < length && image[p] != ':') ++p;
  record->start = record->next = p;
  if (p >= length) return HEX_MISSING_COLON;

  if (length - p - 1 < 3 || !ByteAt(image + p + 1, &record->length)) return HEX_LENGTH_FIELD;
  const uint32_t recordChars = HEX_RECORD_OVERHEAD + 2 * uint32_t(record->length);
  // A record must be followed by one more character, if only its line end.
  if (length - p <= recordChars) return HEX_UNEXPECTED_EOF;

  uint8_t high, low;
  if (!ByteAt(image + p + 3, &high) || !ByteAt(image + p + 5, &low)) return HEX_ADDRESS_FIELD;
  record->address = uint16_t(high << 8 | low);
  if (!ByteAt(image + p + 7, &record->type)) return HEX_TYPE_FIELD;
  for (uint32_t i = 0; i < record->length; ++i)
    if (!ByteAt(image + p + 9 + 2 * i, &record->data[i])) return HEX_DATA_RECORD;
  record->next = p + recordChars;
  if (record->type != HEX_RECORD_DATA && record->type != HEX_RECORD_END_OF_FILE) return HEX_RECORD_TYPE;
  return HEX_OK;
}

const char *HexFaultText(HexFault fault) { return fault < HEX_FAULT_COUNT ? HEX_FAULT_TEXTS[fault] : ""; }
