#include "driver/core/kernel_utils.h"

#include "driver/core/device_extension.h"

RTL_OSVERSIONINFOW OsVersion;

PVOID AllocateNonPaged(ULONG size, ULONG tag) {
  const bool windows8OrLater =
      OsVersion.dwMajorVersion > 6 || (OsVersion.dwMajorVersion == 6 && OsVersion.dwMinorVersion >= 2);
  return ExAllocatePoolWithTag(windows8OrLater ? NonPagedPoolNx : NonPagedPool, size, tag);
}

VOID WaitForObject(PVOID object, KWAIT_REASON waitReason) {
  LARGE_INTEGER slice;
  slice.QuadPart = -10000000LL;
  while (KeWaitForSingleObject(object, waitReason, KernelMode, FALSE, &slice) == STATUS_TIMEOUT) {
  }
}

VOID ReleaseBusInterface(DeviceExtension *dx) {
  if (!dx->busInterface || !dx->busInterface->InterfaceDereference) return;
  dx->busInterface->InterfaceDereference(dx->busInterface->BusContext);
  dx->busInterface = NULL;
  dx->busInterfaceV1 = NULL;
}

VOID TimerDpcTrampoline(PKDPC dpc, PVOID deferredContext, PVOID systemArgument1, PVOID systemArgument2) {
  UNREFERENCED_PARAMETER(dpc);
  TimerRecord *record = static_cast<TimerRecord *>(deferredContext);
  record->callback(record, record->context, systemArgument1, systemArgument2);
}

VOID InitializeTimerRecord(TimerRecord *record, TimerCallback *callback, PVOID context, LONGLONG dueTime) {
  record->callback = callback;
  record->context = context;
  record->dueTime = dueTime;
  KeInitializeTimer(&record->timer);
  KeInitializeDpc(&record->dpc, TimerDpcTrampoline, record);
}
