#include "driver/core/event_log.h"

VOID WriteEventLog(PVOID ioObject, NTSTATUS messageId, const char *message) {
  WCHAR text[96];
  UNICODE_STRING unicode;
  unicode.Length = 0;
  unicode.MaximumLength = sizeof text;
  unicode.Buffer = text;
  ANSI_STRING ansi;
  RtlInitAnsiString(&ansi, message);
  // The conversion needs room for its terminator: 95 characters fit the 96-character buffer.
  if (ansi.Length > EVENT_LOG_MAX_CHARS) ansi.Length = EVENT_LOG_MAX_CHARS;
  if (!NT_SUCCESS(RtlAnsiStringToUnicodeString(&unicode, &ansi, FALSE))) return;

  const ULONG stringOffset = FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData);
  const ULONG size = sizeof(IO_ERROR_LOG_PACKET) + unicode.Length + sizeof(WCHAR);
  PIO_ERROR_LOG_PACKET entry = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(ioObject, UCHAR(size)));
  if (!entry) return;
  RtlZeroMemory(entry, size);
  entry->NumberOfStrings = 1;
  entry->StringOffset = USHORT(stringOffset);
  entry->ErrorCode = messageId;
  entry->UniqueErrorValue = 0xEBEBEBEB;
  entry->FinalStatus = messageId;
  RtlCopyMemory(reinterpret_cast<PUCHAR>(entry) + stringOffset, text, unicode.Length);
  IoWriteErrorLogEntry(entry);
}
