#include "driver/config/configuration.h"
#include "driver/core/device_extension.h"
#include "driver/core/driver.h"

namespace {
constexpr ULONG DEVICE_NAME_CHARS = 120;
}

VOID TeardownDevice(DeviceExtension *dx) {
  KeCancelTimer(&dx->deferTimer.timer);
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&dx->queueLock);
  CompleteDeferredTransfers(dx, TRUE);
  KeReleaseSpinLock(&dx->queueLock, irql);

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

// Nothing links a transfer into deferredQueue before the request queue exists, so today the
// queue this drains is always empty. With the request queue it counts each held transfer down
// and completes it on its third tick, re-arming the timer while transfers remain.
VOID DeferTimerCallback(TimerRecord *record, PVOID context, PVOID systemArgument1, PVOID systemArgument2) {
  UNREFERENCED_PARAMETER(systemArgument1);
  UNREFERENCED_PARAMETER(systemArgument2);
  DeviceExtension *dx = static_cast<DeviceExtension *>(context);
  KeAcquireSpinLockAtDpcLevel(&dx->queueLock);
  CompleteDeferredTransfers(dx, FALSE);
  if (!IsListEmpty(&dx->deferredQueue)) {
    LARGE_INTEGER due;
    due.QuadPart = record->dueTime;
    KeSetTimer(&record->timer, due, &record->dpc);
  }
  KeReleaseSpinLockFromDpcLevel(&dx->queueLock);
}

// Called with queueLock held. deferredQueue is empty until the request queue holds cancelled
// transfers back; the request queue replaces this with the completion of every held transfer (all of
// them when forced), each releasing its context and its count in activeTransferCount.
VOID CompleteDeferredTransfers(DeviceExtension *dx, BOOLEAN force) {
  UNREFERENCED_PARAMETER(dx);
  UNREFERENCED_PARAMETER(force);
}
