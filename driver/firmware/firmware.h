// FX firmware download at device start: an Intel HEX image from the drivers directory loaded
// into an EZ-USB FX class controller's memory with its bootloader's vendor requests. Every
// routine runs at PASSIVE_LEVEL within StartDevice, deviceMutex and transferMutex held; each bus
// request travels in an IRP of its own. Failures are logged against the device object.
#pragma once
#include "platform/platform.h"

struct DeviceExtension;

// The firmware road of the start. FALSE: no file is named, or the device did not answer as a
// bootloader; the start goes on as for any device. TRUE: a download was made and the start
// ends with *status (STATUS_UNSUCCESSFUL on any failure).
BOOLEAN DownloadFirmware(DeviceExtension *dx, NTSTATUS *status);

// The whole file "\SystemRoot\system32\drivers\<fileName>" in paged pool (TAG_FIRMWARE), the
// caller's to free; an empty file gives a null image of length 0. On failure *image is null.
NTSTATUS ReadFirmwareFile(PDEVICE_OBJECT deviceObject, PCWSTR fileName, PUCHAR *image, ULONG *length);
// TRUE when the device takes the bootloader probe and offers a language table with no language.
BOOLEAN CheckFxBootloader(PDEVICE_OBJECT deviceObject);
// Writes the reset byte (1 hold, 0 run) to the CPUCS of both FX generations; the second
// write's status is returned.
NTSTATUS SetCpuReset(PDEVICE_OBJECT deviceObject, UCHAR resetByte);
// One pass over the image, writing the data records of one memory (external: those at or above
// fxExtRamBase). TRUE when it reached the end-of-file record with every write accepted.
BOOLEAN DownloadHexImage(PDEVICE_OBJECT deviceObject, const UCHAR *image, ULONG length, ULONG fxExtRamBase,
                         BOOLEAN external);
BOOLEAN WriteFirmwareRecord(PDEVICE_OBJECT deviceObject, USHORT address, const UCHAR *data, UCHAR length,
                            ULONG fxExtRamBase);
