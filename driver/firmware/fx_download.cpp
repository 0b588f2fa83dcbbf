// The download at device start, and DownloadHexImage's passes over the image.
#include "driver/core/device_extension.h"
#include "driver/core/event_log.h"
#include "driver/core/pool_tags.h"
#include "driver/firmware/firmware.h"
#include "driver/firmware/hex_record.h"

BOOLEAN DownloadHexImage(PDEVICE_OBJECT deviceObject, const UCHAR *image, ULONG length, ULONG fxExtRamBase,
                         BOOLEAN external) {
  // Each pass reads the whole image, so a malformed record fails the first pass wherever it
  // belongs.
  HexRecord record;
  for (uint32_t position = 0;; position = record.next) {
    const HexFault fault = ParseHexRecord(image, length, position, &record);
    if (fault != HEX_OK) {
      WriteEventLog(deviceObject, EVENT_MSG_ERROR, HexFaultText(fault));
      return FALSE;
    }
    if (record.type == HEX_RECORD_END_OF_FILE) return TRUE;
    if (HexRecordIsExternal(record.address, fxExtRamBase) != bool(external)) continue;
    if (!WriteFirmwareRecord(deviceObject, record.address, record.data, record.length, fxExtRamBase)) {
      WriteEventLog(deviceObject, EVENT_MSG_ERROR,
                    external ? "Submit data record to external memory failed."
                             : "Submit data record to internal memory failed.");
      return FALSE;
    }
  }
}

BOOLEAN DownloadFirmware(DeviceExtension *dx, NTSTATUS *status) {
  const DriverParameters &p = dx->parameters;
  PDEVICE_OBJECT deviceObject = dx->deviceObject;
  if (!p.firmwareFile) return FALSE;
  // Loaded firmware that re-enumerated under the same key fails the check and starts as itself.
  if (p.fxBootloaderCheck && !CheckFxBootloader(deviceObject)) return FALSE;

  *status = STATUS_UNSUCCESSFUL;
  PUCHAR image;
  ULONG length;
  if (!NT_SUCCESS(ReadFirmwareFile(deviceObject, p.firmwareFile, &image, &length))) return TRUE;
  // External memory first: the code that serves it on the controller may be overwritten by
  // the internal pass. The CPU stays held after a failure.
  const bool loaded = NT_SUCCESS(SetCpuReset(deviceObject, 1)) &&
                      DownloadHexImage(deviceObject, image, length, p.fxExtRamBase, TRUE) &&
                      NT_SUCCESS(SetCpuReset(deviceObject, 1)) &&
                      DownloadHexImage(deviceObject, image, length, p.fxExtRamBase, FALSE) &&
                      NT_SUCCESS(SetCpuReset(deviceObject, 1));
  if (image) ExFreePoolWithTag(image, TAG_FIRMWARE);
  if (!loaded) return TRUE;
  // The controller leaves the bus as it lets its CPU run, so this answer may never come. A
  // release that could not even be sent, though, leaves the CPU held: nothing runs.
  if (SetCpuReset(deviceObject, 0) == STATUS_NO_MEMORY) return TRUE;
  *status = STATUS_SUCCESS;
  return TRUE;
}
