#include "driver/config/configuration.h"
#include "driver/core/device_extension.h"
#include "driver/core/driver.h"
#include "driver/transfer/request_queue.h"

namespace {
constexpr ULONG DEVICE_NAME_CHARS = 120;
}

VOID TeardownDevice(DeviceExtension *dx) {
  // Emptied first, so that a tick already under way finds nothing to set the timer again for.
  // KeCancelTimer does not wait for a DPC that has started on another processor;
  // KeFlushQueuedDpcs does, before the record goes (learn.microsoft.com, KeFlushQueuedDpcs).
  CompleteDeferredTransfers(dx, TRUE);
  KeCancelTimer(&dx->deferTimer.timer);
  KeFlushQueuedDpcs();

  if (dx->storedConfigDescriptor) {
    ExFreePoolWithTag(dx->storedConfigDescriptor, 0);
    dx->storedConfigDescriptor = NULL;
  }
  DestroyContextPool(&dx->transferPool);
  DestroyContextPool(&dx->isoTransferPool);
  FreeAllConfigurationRecords(dx);

  if (dx->parameters.deviceBaseName) {
    // Rebuilt rather than kept: the record holds only the number.
    WCHAR linkBuffer[DEVICE_NAME_CHARS];
    UNICODE_STRING link;
    link.Length = 0;
    link.MaximumLength = sizeof linkBuffer;
    link.Buffer = linkBuffer;
    BuildDeviceName(&link, XR_W("\\DosDevices\\"), dx->parameters.deviceBaseName, dx->deviceNumber);
    IoDeleteSymbolicLink(&link);
    ExFreePoolWithTag(dx->parameters.deviceBaseName, 0);
    dx->parameters.deviceBaseName = NULL;
  }
  if (dx->defaultInterfaceLink.Buffer) RtlFreeUnicodeString(&dx->defaultInterfaceLink);
  if (dx->userInterfaceLink.Buffer) RtlFreeUnicodeString(&dx->userInterfaceLink);
  if (dx->parameters.userInterfaceGuid) {
    ExFreePoolWithTag(dx->parameters.userInterfaceGuid, 0);
    dx->parameters.userInterfaceGuid = NULL;
  }
  if (dx->parameters.firmwareFile) {
    ExFreePoolWithTag(dx->parameters.firmwareFile, 0);
    dx->parameters.firmwareFile = NULL;
  }
  ReleaseBusInterface(dx);
  if (dx->lowerDevice) IoDetachDevice(dx->lowerDevice);
  IoDeleteDevice(dx->deviceObject);
}
