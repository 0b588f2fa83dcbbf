// ReadFirmwareFile: the HEX file from the drivers directory into paged pool.
#include "driver/core/event_log.h"
#include "driver/core/pool_tags.h"
#include "driver/firmware/firmware.h"

namespace {

constexpr USHORT FIRMWARE_PATH_BYTES = 512;
// The path keeps its last character for a terminator nobody needs; 255 characters fit.
constexpr USHORT FIRMWARE_PATH_MAX_LENGTH = FIRMWARE_PATH_BYTES - sizeof(WCHAR);

// Fills 'path' (of FIRMWARE_PATH_BYTES) with the file's full name. A name that does not fit is
// left out, and the directory alone then fails to open as a file.
VOID BuildFirmwarePath(PUNICODE_STRING path, PWCHAR buffer, PCWSTR fileName) {
  path->Buffer = buffer;
  path->Length = 0;
  path->MaximumLength = FIRMWARE_PATH_MAX_LENGTH;
  (VOID) RtlAppendUnicodeToString(path, XR_W("\\SystemRoot\\system32\\drivers\\"));
  (VOID) RtlAppendUnicodeToString(path, fileName);
}

// Reads the open file whole. The size comes from the file system; the read must deliver all of
// it, or the parser would walk bytes that were never read.
NTSTATUS ReadWholeFile(PDEVICE_OBJECT deviceObject, HANDLE file, PUCHAR *image, ULONG *length) {
  IO_STATUS_BLOCK iosb;
  FILE_STANDARD_INFORMATION info;
  NTSTATUS status = ZwQueryInformationFile(file, &iosb, &info, sizeof info, FileStandardInformation);
  if (!NT_SUCCESS(status)) {
    WriteEventLog(deviceObject, EVENT_MSG_ERROR, "Unable to query file information for FX firmware file.");
    return status;
  }
  // A size past 32 bits cannot be held: its low half would name a part of the file only.
  if (info.EndOfFile.HighPart != 0) {
    WriteEventLog(deviceObject, EVENT_MSG_ERROR, "Unable to allocate buffer for FX firmware file.");
    return STATUS_UNSUCCESSFUL;
  }
  const ULONG size = info.EndOfFile.LowPart;
  // Nothing to hold: a pool block of no bytes is a verifier stop, and the parse of an empty
  // image fails on its own.
  if (size == 0) return STATUS_SUCCESS;

  PUCHAR buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, size, TAG_FIRMWARE));
  if (!buffer) {
    WriteEventLog(deviceObject, EVENT_MSG_ERROR, "Unable to allocate buffer for FX firmware file.");
    return STATUS_UNSUCCESSFUL;
  }
  RtlZeroMemory(buffer, size);
  status = ZwReadFile(file, NULL, NULL, NULL, &iosb, buffer, size, NULL, NULL);
  // A file that shrank since its size was taken reads short.
  if (NT_SUCCESS(status) && iosb.Information != size) status = STATUS_END_OF_FILE;
  if (!NT_SUCCESS(status)) {
    WriteEventLog(deviceObject, EVENT_MSG_ERROR, "Unable to read from FX firmware file.");
    ExFreePoolWithTag(buffer, TAG_FIRMWARE);
    return status;
  }
  *image = buffer;
  *length = size;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ReadFirmwareFile(PDEVICE_OBJECT deviceObject, PCWSTR fileName, PUCHAR *image, ULONG *length) {
  *image = NULL;
  *length = 0;
  PWCHAR pathBuffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, FIRMWARE_PATH_BYTES, TAG_FIRMWARE));
  if (!pathBuffer) {
    WriteEventLog(deviceObject, EVENT_MSG_ERROR, "Unable to allocate string buffer.");
    return STATUS_UNSUCCESSFUL;
  }
  RtlZeroMemory(pathBuffer, FIRMWARE_PATH_BYTES);
  UNICODE_STRING path;
  BuildFirmwarePath(&path, pathBuffer, fileName);

  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE, NULL, NULL);
  IO_STATUS_BLOCK iosb;
  HANDLE file;
  NTSTATUS status = ZwCreateFile(&file, GENERIC_READ | SYNCHRONIZE, &attributes, &iosb, NULL, FILE_ATTRIBUTE_NORMAL,
                                 FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE,
                                 NULL, 0);
  if (!NT_SUCCESS(status)) {
    WriteEventLog(deviceObject, EVENT_MSG_ERROR, "Unable to open FX firmware file.");
  } else {
    status = ReadWholeFile(deviceObject, file, image, length);
    (VOID) ZwClose(file);
  }
  ExFreePoolWithTag(pathBuffer, TAG_FIRMWARE);
  return status;
}
